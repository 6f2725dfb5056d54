// Pieces of the boosted-tree walk shared by the node-by-node walk and the
// packed forest: how a node's `split` names its feature column, and the
// warnings of a walk that cannot go on.
#ifndef VESKO_MODELS_TREE_WALK_H_
#define VESKO_MODELS_TREE_WALK_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vesko {

// The column a split such as "f12" tests: every leading lower-case 'f' is
// dropped and the rest read as an unsigned decimal of at most 64 bits, with
// an optional leading '+'. Anything else (an empty rest, a lone sign, another
// character, an overflowing number) reads as column 0, which is what the
// trained models have always been scored with. Never fails; thread-safe.
std::size_t parse_split_index(std::string_view split);

// The warnings of the walks that gave up, in the order they gave up. A walk
// gives up with
//   "WARNING: XGBoost tree traversal failed - child node <id> not found"
// when the branch it takes names a child that is not there, then, whatever
// the reason,
//   "WARNING: XGBoost tree traversal failed - returning 0.0 fallback".
// Written to standard error at once, or kept and written by write(): rows
// scored out of order, in blocks on several threads, keep theirs so that the
// lines can still come in row order. Not thread-safe: one per scoring.
class TreeWarnings {
 public:
  enum class Mode { kWriteAtOnce, kKeep };

  explicit TreeWarnings(Mode mode = Mode::kWriteAtOnce) : keep_(mode == Mode::kKeep) {}

  // A walk gave up, after not finding `missing_child` if given. Returns the
  // 0.0 that the tree then contributes. May throw std::bad_alloc when kept.
  double give_up(std::optional<std::size_t> missing_child = std::nullopt);

  // Writes the kept warnings, in order, and forgets them.
  void write();

  // Forgets the kept warnings unwritten.
  void clear() { kept_.clear(); }

 private:
  // One entry per walk that gave up. Any 64-bit id may be missing, so no id
  // can stand for "none".
  struct GiveUp {
    std::uint64_t missing_child;
    bool has_missing_child;
  };

  static void write_lines(const GiveUp& give_up);

  bool keep_;
  std::vector<GiveUp> kept_;
};

}  // namespace vesko

#endif  // VESKO_MODELS_TREE_WALK_H_
