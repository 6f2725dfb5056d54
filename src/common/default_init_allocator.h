// DefaultInitAllocator: std::allocator, except that a vector's resize(n)
// default-initialises the new elements instead of value-initialising them.
// For arithmetic types that means the memory is left untouched, so a large
// array that is about to be written element by element in parallel is not
// first zero-filled (and page-faulted) by the one thread that sizes it.
#ifndef VESKO_COMMON_DEFAULT_INIT_ALLOCATOR_H_
#define VESKO_COMMON_DEFAULT_INIT_ALLOCATOR_H_

#include <memory>
#include <new>
#include <utility>

namespace vesko {

template <typename T>
class DefaultInitAllocator : public std::allocator<T> {
 public:
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };

  DefaultInitAllocator() noexcept = default;
  template <typename U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  // No arguments: default-initialise. Otherwise construct as usual.
  template <typename U>
  void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

}  // namespace vesko

#endif  // VESKO_COMMON_DEFAULT_INIT_ALLOCATOR_H_
