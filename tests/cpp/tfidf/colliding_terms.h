// A vocabulary chosen to defeat a hash table, for the tests and benchmarks:
// terms of 3 to 15 lower-case letters whose hash sends them all to the first
// 1/2^window_bits of any table indexed by the hash's top bits. Against a fixed
// hash they are found by trying candidates (100,000 in under two seconds);
// with linear probing they pile up into one run as long as the vocabulary.
#ifndef VESKO_TESTS_TFIDF_COLLIDING_TERMS_H_
#define VESKO_TESTS_TFIDF_COLLIDING_TERMS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "tfidf/term_index.h"

namespace vesko::testing_support {

// A slot hash without a key: one fixed multiply of the packed term (two for
// terms of 8 bytes or more), the slot its top bits. Anyone can compute it, so
// terms that collide under it are easy to make.
inline std::uint64_t fixed_multiplicative_hash(std::string_view term) {
  const TermIndex::Key key = TermIndex::pack(term);
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  if (key.high == 0) return key.low * kMul;
  return (key.low ^ (key.high * 0xC2B2AE3D27D4EB4Full)) * kMul;
}

// `count` distinct terms whose hash(term) (64 bits) has its top `window_bits`
// bits zero. Deterministic for a deterministic hash.
template <typename Hash>
std::vector<std::string> colliding_terms(std::size_t count, Hash&& hash, int window_bits = 10) {
  std::vector<std::string> terms;
  std::unordered_set<std::string> seen;
  std::uint64_t state = 0x243F6A8885A308D3ull;
  auto next = [&state] {  // splitmix64
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  char buffer[15];
  while (terms.size() < count) {
    std::uint64_t bits = next();
    const std::size_t length = 3 + bits % 13;
    bits = next();
    for (std::size_t i = 0; i < length; ++i, bits >>= 4) {
      buffer[i] = static_cast<char>('a' + (bits & 15) + (i & 1) * 10);
    }
    const std::string_view term(buffer, length);
    if ((hash(term) >> (64 - window_bits)) != 0) continue;
    if (seen.emplace(term).second) terms.emplace_back(term);
  }
  return terms;
}

}  // namespace vesko::testing_support

#endif  // VESKO_TESTS_TFIDF_COLLIDING_TERMS_H_
