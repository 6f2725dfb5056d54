#include "common/keyed_hash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vesko {
namespace {

// Drawn once: every thread, first call or not, sees the same key.
TEST(ProcessHashKeyTest, OneKeyForEveryThread) {
  std::vector<const HashKey*> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&slot] { slot = &process_hash_key(); });
  for (auto& thread : threads) thread.join();
  for (const HashKey* key : seen) EXPECT_EQ(key, &process_hash_key());
  const HashKey& key = process_hash_key();
  EXPECT_FALSE(key.words[0] == 0 && key.words[2] == 0 && key.words[3] == 0);
  // Derived keys differ from it and from each other.
  std::set<std::uint64_t> words{key.words[0]};
  for (std::uint64_t n = 1; n <= 8; ++n) words.insert(derive_hash_key(key, n).words[0]);
  EXPECT_EQ(words.size(), 9u);
}

// Of the inputs 0 to n - 1 (hash(key, k)), pairs that share their top
// `bits` bits under `first`, and how many of them still share them under
// `second`.
template <typename Hash>
std::pair<std::size_t, std::size_t> carried_collisions(Hash&& hash, const HashKey& first,
                                                       const HashKey& second, std::size_t n,
                                                       int bits) {
  std::vector<std::pair<std::uint64_t, std::size_t>> slots;
  for (std::size_t k = 0; k < n; ++k) slots.emplace_back(hash(first, k) >> (64 - bits), k);
  std::sort(slots.begin(), slots.end());
  std::size_t pairs = 0;
  std::size_t still = 0;
  for (std::size_t k = 1; k < slots.size(); ++k) {
    if (slots[k].first != slots[k - 1].first) continue;
    ++pairs;
    still += (hash(second, slots[k].second) >> (64 - bits)) ==
             (hash(second, slots[k - 1].second) >> (64 - bits));
  }
  return {pairs, still};
}

// Inputs that collide in a table's slot bits under one key collide no more
// often than chance under another. The inputs differ in one or two bits: a
// fixed multiply with a key XORed in before it keeps, whatever the key, the
// arithmetic difference of such inputs a good part of the time, and with it
// their collision.
TEST(KeyedHashTest, CollisionsDoNotCarryOverToAnotherKey) {
  std::mt19937_64 rng(11);
  const HashKey first{{rng(), rng() | 1, rng(), rng()}};
  const HashKey second{{rng(), rng() | 1, rng(), rng()}};
  std::vector<std::uint64_t> words{0};
  for (int i = 0; i < 64; ++i) {
    for (int j = i; j < 64; ++j) words.push_back((std::uint64_t{1} << i) | (std::uint64_t{1} << j));
  }
  const auto text = [&words](std::size_t k, std::size_t around) {
    std::string bytes(8 + 2 * around, 'x');
    std::memcpy(bytes.data() + around, &words[k], 8);
    return bytes;
  };
  const auto first_word = [&](const HashKey& key, std::size_t k) {
    return keyed_mix(key, words[k], 0);
  };
  const auto second_word = [&](const HashKey& key, std::size_t k) {
    return keyed_mix(key, 0x6B6F6F6C, words[k]);
  };
  const auto short_text = [&](const HashKey& key, std::size_t k) {
    return keyed_hash_bytes(key, text(k, 0));
  };
  const auto long_text = [&](const HashKey& key, std::size_t k) {
    return keyed_hash_bytes(key, text(k, 13));
  };
  constexpr int kBits = 12;  // chance: 1 in 4096
  const std::size_t n = words.size();
  for (const auto& [pairs, still] : {carried_collisions(first_word, first, second, n, kBits),
                                     carried_collisions(second_word, first, second, n, kBits),
                                     carried_collisions(short_text, first, second, n, kBits),
                                     carried_collisions(long_text, first, second, n, kBits)}) {
    ASSERT_GT(pairs, 300u);
    EXPECT_LT(still, pairs / 64);
  }
}

// Each input bit flips each output bit about half the time, and so does each
// key bit: no output bit is a function of a few input bits (the low bits of a
// plain multiply are).
TEST(KeyedHashTest, EveryBitAvalanches) {
  std::mt19937_64 rng(5);
  constexpr int kSamples = 400;
  for (std::size_t length : {1, 3, 4, 7, 8, 12, 16, 17, 33}) {
    std::vector<int> flips(64, 0);
    int trials = 0;
    for (int s = 0; s < kSamples; ++s) {
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
