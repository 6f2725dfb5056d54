// Vocabulary: term -> column index, looked up by string_view without building
// a std::string per term. Debian's Abseil has its own string_view type, so the
// map gets a transparent hasher and equality over std::string_view. The terms
// come from model files and texts, so the hasher is keyed (common/keyed_hash.h):
// absl::Hash's only seed is an address, which is no secret, and the same in
// every process where the address space is not randomised.
#ifndef VESKO_TFIDF_VOCABULARY_H_
#define VESKO_TFIDF_VOCABULARY_H_

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "common/keyed_hash.h"

namespace vesko {

struct TermHash {
  using is_transparent = void;
  TermHash() : key(process_hash_key()) {}
  explicit TermHash(const HashKey& hash_key) : key(hash_key) {}
  std::size_t operator()(std::string_view term) const {
    // An empty volatile asm: without it GCC proves the whole hash pure, takes
    // the map's prefetch() (no result, no store) for dead code and drops it.
    asm volatile("");
    return keyed_hash_bytes(key, term);
  }
  HashKey key;
};

struct TermEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

// Allocates the large blocks of a vocabulary table (a million-term table is
// tens of megabytes) on 2 MiB boundaries and asks for transparent huge pages:
// filling it then takes a few hundred page faults instead of tens of
// thousands, and lookups miss the TLB far less. Small blocks come from the
// ordinary heap.
template <typename T>
struct LargeTableAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kThreshold = 2 * kHugePage;

  LargeTableAllocator() = default;
  template <typename U>
  LargeTableAllocator(const LargeTableAllocator<U>&) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kThreshold) return std::allocator<T>().allocate(n);
    return static_cast<T*>(allocate_huge(round_up(bytes)));
  }
  void deallocate(T* p, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kThreshold) {
      std::allocator<T>().deallocate(p, n);
    } else {
      std::free(p);
    }
  }
  template <typename U>
  bool operator==(const LargeTableAllocator<U>&) const {
    return true;
  }

 private:
  static std::size_t round_up(std::size_t bytes) {
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
  }
  static void* allocate_huge(std::size_t bytes);
};

// Defined out of line so that only one file needs the system headers.
void* allocate_huge_pages(std::size_t bytes, std::size_t alignment);

template <typename T>
void* LargeTableAllocator<T>::allocate_huge(std::size_t bytes) {
  return allocate_huge_pages(bytes, kHugePage);
}

using Vocabulary =
    absl::flat_hash_map<std::string, std::uint64_t, TermHash, TermEq,
                        LargeTableAllocator<std::pair<const std::string, std::uint64_t>>>;

}  // namespace vesko

#endif  // VESKO_TFIDF_VOCABULARY_H_
