// Keyed hashing of outside data. Vocabulary terms come from model files and
// the terms looked up come from e-mails, so whoever writes either can choose
// bytes; with a fixed hash, a vocabulary of terms that share a slot is found
// in seconds and turns every probe into a walk over all of them. These hashes
// take a secret key drawn once per process, so which terms collide cannot be
// known from outside, and differences between inputs do not carry over from
// one process to the next.
//
// The mixing step is a folded multiply: the 128-bit product of two key-xored
// words, its halves XORed together. Every output bit depends on every input
// and key bit through the carries, unlike a fixed 64-bit multiply, whose
// colliding differences are the same whatever is XORed in beforehand. Two
// rounds: the second spreads the first's two halves over each other.
//
// Hash values decide only where entries sit, never what a lookup finds.
#ifndef VESKO_COMMON_KEYED_HASH_H_
#define VESKO_COMMON_KEYED_HASH_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vesko {

struct HashKey {
  std::uint64_t words[4];
};

// The process's key: drawn on first use from getrandom(2), else from
// /dev/urandom, else (no random source at all) from clocks and addresses.
// The same for every caller afterwards. Thread-safe; never fails.
const HashKey& process_hash_key();

// Another key, as unpredictable as `key` to whoever does not know it, one per
// `n`: for a table that gives up on a key and starts over.
HashKey derive_hash_key(const HashKey& key, std::uint64_t n);

inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// 64 well-mixed bits of (a, b, tweak). All bits are usable, top and bottom.
inline std::uint64_t keyed_mix(const HashKey& key, std::uint64_t a, std::uint64_t b,
                               std::uint64_t tweak = 0) {
  const unsigned __int128 product =
      static_cast<unsigned __int128>(a ^ key.words[0]) * (b ^ key.words[1]);
  return fold_multiply(static_cast<std::uint64_t>(product) ^ key.words[2] ^ tweak,
                       static_cast<std::uint64_t>(product >> 64) ^ key.words[3]);
}

// Any byte string. Up to 16 bytes: one keyed_mix of its bytes, read as two
// (possibly overlapping) words, and its length; longer ones fold in 16 bytes
// at a time first.
inline std::uint64_t keyed_hash_bytes(const HashKey& key, std::string_view bytes) {
  const auto load64 = [](const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  const char* p = bytes.data();
  const std::size_t n = bytes.size();
  if (n <= 16) {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n >= 8) {
      a = load64(p);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      std::uint32_t first, last;
      std::memcpy(&first, p, 4);
      std::memcpy(&last, p + n - 4, 4);
      a = first;
      b = last;
    } else if (n > 0) {
      a = static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) |
          static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
          static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
    }
    return keyed_mix(key, a, b, n);
  }
  std::uint64_t state = key.words[3];
  const char* const last = p + n - 16;
  for (; p < last; p += 16) {
    state = fold_multiply(load64(p) ^ key.words[2], load64(p + 8) ^ state);
  }
  return keyed_mix(key, load64(last), load64(last + 8) ^ state, n);
}

}  // namespace vesko

#endif  // VESKO_COMMON_KEYED_HASH_H_
