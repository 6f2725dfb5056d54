// The process-wide work-stealing pool (oneTBB). Its size is fixed once per
// process, on first use, from the environment:
//   RAYON_NUM_THREADS  a decimal number >= 1 is the size; "0" means one thread
//                      per online processor;
//   RAYON_RS_NUM_CPUS  consulted when RAYON_NUM_THREADS is absent or not a
//                      decimal number; a number >= 1 is the size;
//   otherwise          the number of online processors (1 when unknown).
// The size is capped at 65535. These names are kept because deployments
// already set them to size the pool.
#ifndef VESKO_COMMON_THREAD_POOL_H_
#define VESKO_COMMON_THREAD_POOL_H_

#include <cstddef>
#include <optional>
#include <string_view>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace vesko {

// Fixes the pool size on the first call; cheap afterwards. Thread-safe.
void ensure_thread_pool();

// The size the pool was given (calls ensure_thread_pool()).
std::size_t thread_pool_size();

// The size the environment asks for; exposed for tests.
// `online` is the number of online processors, 0 when unknown.
std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  long online);

// Parses an unsigned decimal as the pool variables are read: an optional '+',
// then digits only, no overflow.
std::optional<std::size_t> parse_unsigned_decimal(std::string_view text);

// Runs body(i) for every i in [0, n) on the pool and waits for all of them.
// Exceptions thrown by body reach the caller. Each index is visited once, so
// results written by index need no lock.
template <typename Body>
void parallel_for_index(std::size_t n, const Body& body) {
  if (n == 0) return;
  ensure_thread_pool();
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                    [&body](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t i = range.begin(); i != range.end(); ++i) body(i);
                    });
}

}  // namespace vesko

#endif  // VESKO_COMMON_THREAD_POOL_H_
