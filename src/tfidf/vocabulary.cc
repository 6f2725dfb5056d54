#include "tfidf/vocabulary.h"

#include <sys/mman.h>

#include <new>

namespace vesko {

void* allocate_huge_pages(std::size_t bytes, std::size_t alignment) {
  void* block = std::aligned_alloc(alignment, bytes);
  if (block == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Only a hint: without huge pages the block works the same.
  ::madvise(block, bytes, MADV_HUGEPAGE);
#endif
  return block;
}

}  // namespace vesko
