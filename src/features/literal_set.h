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
  // Lanes of find(): automata that run in lockstep over parts of the text.
  static constexpr std::size_t kLanes = 5;

  // The automaton from the state at `offset` over bytes[0, size).
  LiteralMask scan(const unsigned char* bytes, std::size_t size, std::uint32_t offset,
                   LiteralMask found) const;
  bool is_output(std::uint32_t offset) const { return offset >= output_threshold_; }
  const LiteralMask& output(std::uint32_t offset) const {
    return outputs_[offset / class_count_ - first_output_row_];
  }

  std::size_t literal_count_ = 0;
  std::size_t max_length_ = 0;
  std::size_t class_count_ = 0;
  std::uint8_t byte_class_[256] = {};
  // Transitions, row by row, each entry already the offset of the next state's
  // row (state * class_count_), which saves a multiplication per byte. The
  // rows of states that complete a literal come last, at offsets from
  // output_threshold_ on, a power of two above all other rows: whether any of
  // several automata has just completed a literal is then one comparison of
  // their offsets OR-ed together.
  std::vector<std::uint32_t> next_offset_;
  std::uint32_t output_threshold_ = 0;
  std::uint32_t first_output_row_ = 0;
  std::vector<LiteralMask> outputs_;  // by row, from first_output_row_ on
  LiteralMask all_;
};

}  // namespace vesko

#endif  // VESKO_FEATURES_LITERAL_SET_H_
