// Which of a fixed set of byte strings occur in a text, found in one pass
// (an Aho-Corasick automaton): the word lists hold dozens of entries, and one
// substring search per entry would read a long e-mail dozens of times.
#ifndef VESKO_FEATURES_LITERAL_SET_H_
#define VESKO_FEATURES_LITERAL_SET_H_

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vesko {

inline constexpr std::size_t kMaxLiterals = 128;

// Bit i is set when literal i occurs.
using LiteralMask = std::bitset<kMaxLiterals>;

// Immutable after construction; safe to share across threads.
class LiteralSet {
 public:
  // `literals`: 1 to kMaxLiterals non-empty byte strings (duplicates allowed,
  // each keeps its own bit). Throws std::invalid_argument otherwise.
  explicit LiteralSet(const std::vector<std::string_view>& literals);

  // The literals that occur in `text` as contiguous bytes, overlapping and
  // nested occurrences included. Linear in text.size(); never fails.
  LiteralMask find(std::string_view text) const;

  std::size_t size() const { return literal_count_; }

 private:
  // One automaton over bytes[0, size), starting from the root.
  LiteralMask scan(const unsigned char* bytes, std::size_t size, LiteralMask found) const;

  std::size_t literal_count_ = 0;
  std::size_t max_length_ = 0;
  std::size_t class_count_ = 0;
  std::uint8_t byte_class_[256] = {};
  // Transitions, row by row, each entry already the offset of the next state's
  // row (state * class_count_), which saves a multiplication per byte. States
  // are numbered so that those that complete a literal come last: a single
  // comparison with first_output_offset_ tells whether a byte ends a match.
  std::vector<std::uint32_t> next_offset_;
  std::uint32_t first_output_offset_ = 0;
  std::vector<LiteralMask> outputs_;  // by state - first output state
  LiteralMask all_;
};

}  // namespace vesko

#endif  // VESKO_FEATURES_LITERAL_SET_H_
