#include "common/keyed_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace vesko {
namespace {

// Inputs that share a table's slot bits under one key collide no more often
// than chance under another, a key derived from it included (a table that
// gives up on a key starts over with one). The inputs differ in one or two
// bits: a fixed multiply with a key XORed in before it keeps, whatever the
// key, the arithmetic difference of such inputs a good part of the time, and
// with it their collision; keying by XOR after mixing keeps every collision.
TEST(KeyedHashTest, CollisionsDoNotCarryOverToAnotherKey) {
  std::mt19937_64 rng(11);
  const HashKey first{{rng(), rng() | 1, rng(), rng()}};
  const HashKey seconds[] = {{{rng(), rng() | 1, rng(), rng()}}, derive_hash_key(first, 1)};
  std::vector<std::uint64_t> words{0};
  for (int i = 0; i < 64; ++i) {
    for (int j = i; j < 64; ++j) words.push_back((std::uint64_t{1} << i) | (std::uint64_t{1} << j));
  }
  const auto text = [&words](std::size_t k, std::size_t around) {
    std::string bytes(8 + 2 * around, 'x');
    std::memcpy(bytes.data() + around, &words[k], 8);
    return bytes;
  };
  const std::function<std::uint64_t(const HashKey&, std::size_t)> hashes[] = {
      [&](const HashKey& key, std::size_t k) { return keyed_mix(key, words[k], 0); },
      [&](const HashKey& key, std::size_t k) { return keyed_mix(key, 0x6B6F6F6C, words[k]); },
      [&](const HashKey& key, std::size_t k) { return keyed_hash_bytes(key, text(k, 0)); },
      [&](const HashKey& key, std::size_t k) { return keyed_hash_bytes(key, text(k, 13)); }};
  constexpr int kShift = 64 - 12;  // slots of 12 bits: chance is 1 in 4096
  for (const HashKey& second : seconds) {
    for (const auto& hash : hashes) {
      std::vector<std::pair<std::uint64_t, std::size_t>> slots;
      for (std::size_t k = 0; k < words.size(); ++k)
        slots.emplace_back(hash(first, k) >> kShift, k);
      std::sort(slots.begin(), slots.end());
      std::size_t pairs = 0, still = 0;
      for (std::size_t k = 1; k < slots.size(); ++k) {
        if (slots[k].first != slots[k - 1].first) continue;
        ++pairs;
        still +=
            hash(second, slots[k].second) >> kShift == hash(second, slots[k - 1].second) >> kShift;
      }
      ASSERT_GT(pairs, 300u);
      EXPECT_LT(still, pairs / 64);
    }
  }
}

// Each input bit flips each output bit about half the time, and so does each
// key bit: no output bit is a function of a few input bits (the low bits of a
// plain multiply are).
TEST(KeyedHashTest, EveryBitAvalanches) {
  std::mt19937_64 rng(5);
  for (std::size_t length : {1, 3, 4, 7, 8, 12, 16, 17, 33}) {
    std::vector<int> flips(64, 0);
    int trials = 0;
    for (int s = 0; s < 400; ++s) {
      HashKey key{{rng(), rng() | 1, rng(), rng()}};
      std::string text(length, '\0');
      for (char& c : text) c = static_cast<char>(rng());
      const std::uint64_t base = keyed_hash_bytes(key, text);
      const std::size_t bit = rng() % (8 * length);
      std::string flipped = text;
      flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
      HashKey other = key;
      other.words[rng() % 4] ^= std::uint64_t{1} << (rng() % 64);
      for (const std::uint64_t changed :
           {keyed_hash_bytes(key, flipped), keyed_hash_bytes(other, text)}) {
        const std::uint64_t diff = base ^ changed;
        for (int b = 0; b < 64; ++b) flips[b] += (diff >> b) & 1;
        ++trials;
      }
    }
    for (int b = 0; b < 64; ++b) {
      EXPECT_NEAR(flips[b], trials / 2, trials / 8) << "length " << length << ", bit " << b;
    }
  }
}

}  // namespace
}  // namespace vesko
