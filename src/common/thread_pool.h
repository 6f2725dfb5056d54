// The process-wide work-stealing pool: a oneTBB task arena of vesko's own, so
// that its size never throttles other oneTBB users in the process. Its size is
// fixed once per process, on first use, from the environment:
//   RAYON_NUM_THREADS  a decimal number >= 1 is the size; "0" means one thread
//                      per online processor;
//   RAYON_RS_NUM_CPUS  consulted when RAYON_NUM_THREADS is absent or not a
//                      decimal number; a number >= 1 is the size;
//   otherwise          the number of online processors (1 when unknown).
// The size is capped at 65535. These names are kept because deployments
// already set them to size the pool. Results never depend on the size.
#ifndef VESKO_COMMON_THREAD_POOL_H_
#define VESKO_COMMON_THREAD_POOL_H_

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <string_view>

namespace vesko {

// The number of threads that this thread's parallel steps run on: the
// process pool's size, or the size given to run_on_pool_of. Thread-safe.
std::size_t thread_pool_size();

// The size the environment asks for; exposed for tests.
// `online` is the number of online processors, 0 when unknown.
std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  long online);

// Parses an unsigned decimal as the pool variables are read: an optional '+',
// then digits only, no overflow.
std::optional<std::size_t> parse_unsigned_decimal(std::string_view text);

// For benchmarks and tests: runs `work` with every parallel step that this
// thread starts on a pool of `threads` threads of its own, instead of the
// process pool.
void run_on_pool_of(std::size_t threads, const std::function<void()>& work);

namespace pool_detail {

// The arena that a parallel step started by this thread (outside any pool
// task) runs in.
tbb::task_arena& arena_for_this_thread();

// Above zero while this thread runs a pool task.
inline thread_local int task_depth = 0;

struct TaskScope {
  TaskScope() { ++task_depth; }
  ~TaskScope() { --task_depth; }
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;
};

}  // namespace pool_detail

// Runs body(i) for every i in [0, n) on the pool and waits for all of them.
// Exceptions thrown by body reach the caller. Each index is visited once, so
// results written by index need no lock. A step started inside a pool task
// runs on that task's thread, in index order: the outer step already keeps
// every thread busy (the blocks of a batch), and splitting it again only moves
// its data between cores and pays the pool's overhead per piece.
template <typename Body>
void parallel_for_index(std::size_t n, const Body& body) {
  if (n == 0) return;
  if (pool_detail::task_depth > 0) {
    for (std::size_t i = 0; i < n; ++i) body(i);
    return;
  }
  pool_detail::arena_for_this_thread().execute([n, &body] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                      [&body](const tbb::blocked_range<std::size_t>& range) {
                        pool_detail::TaskScope scope;
                        for (std::size_t i = range.begin(); i != range.end(); ++i) body(i);
                      });
  });
}

// Runs body(i) for every i in [0, n) on the pool, each once ready(i) has
// returned true. The calling thread calls ready(0), ready(1), ... in order,
// alone, while the pool already runs the bodies of the indices made ready, so
// work that only the calling thread may do (reading under a lock it holds)
// overlaps the rest. When ready(i) returns false or throws, the bodies not
// yet started are skipped (every one from i on), those started are waited
// for, then false is returned or the exception rethrown. Exceptions thrown by
// body reach the caller. Inside a pool task everything runs on that task's
// thread, in index order.
template <typename Ready, typename Body>
bool parallel_for_each_ready(std::size_t n, const Ready& ready, const Body& body) {
  if (pool_detail::task_depth > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!ready(i)) return false;
      body(i);
    }
    return true;
  }
  // Indices below `made_ready` are ready; kAbandoned once one is refused. The
  // pool takes the indices as parallel_for_index does, and a body whose index
  // is not ready yet waits for it: the calling thread makes indices ready far
  // faster than bodies run, and joins the pool once it is done.
  constexpr std::size_t kAbandoned = static_cast<std::size_t>(-1);
  std::atomic<std::size_t> made_ready{0};
  std::exception_ptr ready_failure;
  pool_detail::arena_for_this_thread().execute([&] {
    tbb::task_group tasks;
    tasks.run([&] {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                        [&](const tbb::blocked_range<std::size_t>& range) {
                          pool_detail::TaskScope scope;
                          for (std::size_t i = range.begin(); i != range.end(); ++i) {
                            std::size_t seen = made_ready.load(std::memory_order_acquire);
                            while (seen != kAbandoned && seen <= i) {
                              made_ready.wait(seen, std::memory_order_acquire);
                              seen = made_ready.load(std::memory_order_acquire);
                            }
                            if (seen == kAbandoned) return;
                            body(i);
                          }
                        });
    });
    for (std::size_t i = 0; i < n; ++i) {
      bool is_ready = false;
      try {
        is_ready = ready(i);
      } catch (...) {
        ready_failure = std::current_exception();
      }
      made_ready.store(is_ready ? i + 1 : kAbandoned, std::memory_order_release);
      made_ready.notify_all();
      if (!is_ready) break;
    }
    tasks.wait();
  });
  if (ready_failure) std::rethrow_exception(ready_failure);
  return made_ready.load() != kAbandoned;
}

}  // namespace vesko

#endif  // VESKO_COMMON_THREAD_POOL_H_
