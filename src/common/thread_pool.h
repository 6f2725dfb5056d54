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
//
// Two rules make the pool safe to use from a Python call, whatever Python
// code runs in the middle of it (a codec error handler, a finalizer, another
// thread, fork):
//   - Nothing in the pool waits for the calling thread. A task, and the code
//     an arena runs for a thread that joins it, only ever waits for other
//     tasks. Work that only the calling thread may do is done outside the
//     pool, before the tasks that need it are handed over
//     (parallel_for_each_ready). So the calling thread may run anything while
//     its tasks are at work, vesko's own parallel steps included, and another
//     thread's step always finishes.
//   - The pool does not survive fork: its threads stay behind in the parent,
//     and its state may be caught in the middle of a change. A child of a
//     process that had used the pool runs every step on the calling thread.
#ifndef VESKO_COMMON_THREAD_POOL_H_
#define VESKO_COMMON_THREAD_POOL_H_

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace vesko {

// The number of threads that this thread's parallel steps run on: the
// process pool's size, the size given to run_on_pool_of, or 1 in a child
// that runs without the pool. Thread-safe.
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
// task) runs in. Creating it arranges for a forked child to leave it alone.
tbb::task_arena& arena_for_this_thread();

// True in a process forked from one that had used the pool.
bool lost_to_fork();

// Above zero while this thread runs a pool task.
inline thread_local int task_depth = 0;

struct TaskScope {
  TaskScope() { ++task_depth; }
  ~TaskScope() { --task_depth; }
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;
};

// Whether a step this thread starts may split its work over the pool: not
// inside a pool task (see parallel_for_index) and not in a child that runs
// without the pool.
inline bool may_split() { return task_depth == 0 && !lost_to_fork(); }

// Tasks handed to the pool one at a time from outside it, then waited for.
// The calling thread joins the arena only to hand a task over and to wait,
// never while it runs code of its own between two tasks.
class HandedOverTasks {
 public:
  HandedOverTasks();
  // Waits for the tasks not yet waited for, after cancelling those not yet
  // started; their exceptions are dropped.
  ~HandedOverTasks();
  HandedOverTasks(const HandedOverTasks&) = delete;
  HandedOverTasks& operator=(const HandedOverTasks&) = delete;

  template <typename Task>
  void run(Task&& task) {
    arena_.execute([&] { group_->run(std::forward<Task>(task)); });
  }

  // Waits for every task handed over; rethrows the first exception one threw.
  void wait();

  // Cancels the tasks not yet started and waits for those started.
  void cancel_and_wait();

  // For a child forked while tasks were handed over, where they will never
  // run to the end: forgets them without waiting.
  void abandon() noexcept;

 private:
  tbb::task_arena& arena_;
  std::unique_ptr<tbb::task_group> group_;  // null once waited for or abandoned
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
  if (!pool_detail::may_split()) {
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

// Runs body(i) for every i in [0, n), each once ready(i) has returned true.
// The calling thread calls ready(0), ready(1), ... in order, outside the
// pool, and hands body(i) to the pool as soon as ready(i) has returned, so
// that work which only the calling thread may do (reading under a lock that
// it holds) overlaps the bodies of the indices before it, and no body ever
// waits for it. ready may run anything: a parallel step of its own, a wait
// for another thread's parallel step, fork.
//
// When ready(i) returns false, the bodies not yet started are skipped, those
// started are waited for, and false is returned. When it throws (a forced
// unwind included), the same happens before the exception goes on. Exceptions
// thrown by body reach the caller. Inside a pool task, or in a child without
// the pool, everything runs on the calling thread, in index order.
//
// When ready(i) forks, the child's bodies handed over before the fork may
// never finish there: the child forgets them and runs body(0) to body(i)
// again itself, so a body must give the same result when it runs twice.
template <typename Ready, typename Body>
bool parallel_for_each_ready(std::size_t n, const Ready& ready, const Body& body) {
  if (!pool_detail::may_split()) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!ready(i)) return false;
      body(i);
    }
    return true;
  }
  pool_detail::HandedOverTasks tasks;
  for (std::size_t i = 0; i < n; ++i) {
    bool is_ready = false;
    try {
      is_ready = ready(i);
    } catch (...) {
      // The tasks read what the caller's frames hold: they must be done
      // before those frames go.
      tasks.cancel_and_wait();
      throw;
    }
    if (!is_ready) {
      tasks.cancel_and_wait();
      return false;
    }
    if (pool_detail::lost_to_fork()) {  // ready(i) forked, and this is the child
      tasks.abandon();
      for (std::size_t j = 0; j <= i; ++j) body(j);
      for (std::size_t j = i + 1; j < n; ++j) {
        if (!ready(j)) return false;
        body(j);
      }
      return true;
    }
    tasks.run([&body, i] {
      pool_detail::TaskScope scope;
      body(i);
    });
  }
  tasks.wait();
  return true;
}

}  // namespace vesko

#endif  // VESKO_COMMON_THREAD_POOL_H_
