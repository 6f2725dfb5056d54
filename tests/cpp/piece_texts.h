// Test helper: texts built from pieces, for the differential tests of code
// that reads text a block at a time. Random concatenations find the cases no
// one thought of; a piece at every offset puts each edge case on every block
// and chunk boundary.
#ifndef VESKO_TESTS_PIECE_TEXTS_H_
#define VESKO_TESTS_PIECE_TEXTS_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace vesko::testing_texts {

inline std::string repeat(const std::string& unit, std::size_t times) {
  std::string out;
  for (std::size_t k = 0; k < times; ++k) out += unit;
  return out;
}

// Random pieces until the text holds at least a random 0 to `max_bytes` bytes.
template <typename Rng>
std::string random_text(Rng& rng, const std::vector<std::string>& pieces, std::size_t max_bytes) {
  std::string text;
  const std::size_t target = rng() % (max_bytes + 1);
  while (text.size() < target) text += pieces[rng() % pieces.size()];
  return text;
}

// check(head + filler * before + piece + filler * after) for every piece and
// filler, `before` from 0 to `max_before` and `after` in `afters`; stops at
// the first failure.
template <typename Check>
void at_every_offset(const std::vector<std::string>& pieces,
                     const std::vector<std::string>& fillers, std::size_t max_before,
                     std::initializer_list<std::size_t> afters, Check&& check,
                     const std::string& head = "") {
  for (const std::string& piece : pieces) {
    for (const std::string& filler : fillers) {
      for (std::size_t before = 0; before <= max_before; ++before) {
        for (std::size_t after : afters) {
          check(head + repeat(filler, before) + piece + repeat(filler, after));
          if (::testing::Test::HasFailure()) return;
        }
      }
    }
  }
}

}  // namespace vesko::testing_texts

#endif  // VESKO_TESTS_PIECE_TEXTS_H_
