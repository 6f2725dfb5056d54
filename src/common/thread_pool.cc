#include "common/thread_pool.h"

#include <pthread.h>
#include <tbb/global_control.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>

#include "common/thread_exit.h"

namespace vesko {
namespace {

constexpr std::size_t kMaxThreads = 0xffff;

// oneTBB keeps one set of worker threads for the process, as many as the
// processors less one unless a global_control lifts that cap. A pool larger
// than that lifts it, which throttles nobody; a smaller one leaves it alone.
std::unique_ptr<tbb::global_control> lift_worker_cap(std::size_t threads) {
  if (threads <= static_cast<std::size_t>(tbb::info::default_concurrency())) return nullptr;
  return std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                               threads);
}

std::atomic<bool> pool_lost{false};

// Every arena of ours calls this before it first runs anything. The child
// handler runs in the forked child, on its only thread.
void leave_pool_behind_on_fork() {
  static std::once_flag registered;
  std::call_once(registered,
                 [] { ::pthread_atfork(nullptr, nullptr, [] { pool_lost.store(true); }); });
}

struct ProcessPool {
  std::unique_ptr<tbb::global_control> cap;
  tbb::task_arena arena;

  explicit ProcessPool(std::size_t threads)
      : cap(lift_worker_cap(threads)), arena(static_cast<int>(threads)) {
    leave_pool_behind_on_fork();
  }
};

// Created on first use and kept for the life of the process. Held through a
// static pointer, never destroyed, so no exit-time teardown races a thread
// still running, and leak checkers see it as reachable.
ProcessPool& process_pool() {
  static ProcessPool* const pool = new ProcessPool(
      thread_count_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                            ::sysconf(_SC_NPROCESSORS_ONLN)));
  return *pool;
}

thread_local tbb::task_arena* pool_override = nullptr;

}  // namespace

std::optional<std::size_t> parse_unsigned_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::size_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    std::size_t digit = static_cast<std::size_t>(c - '0');
    if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::size_t thread_count_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  long online) {
  const std::size_t fallback = online > 0 ? static_cast<std::size_t>(online) : 1;
  std::size_t count = fallback;
  std::optional<std::size_t> asked;
  if (rayon_num_threads != nullptr) asked = parse_unsigned_decimal(rayon_num_threads);
  if (asked) {
    count = *asked > 0 ? *asked : fallback;
  } else if (rayon_rs_num_cpus != nullptr) {
    std::optional<std::size_t> legacy = parse_unsigned_decimal(rayon_rs_num_cpus);
    if (legacy && *legacy > 0) count = *legacy;
  }
  return count < kMaxThreads ? count : kMaxThreads;
}

namespace pool_detail {

tbb::task_arena& arena_for_this_thread() {
  return pool_override != nullptr ? *pool_override : process_pool().arena;
}

bool lost_to_fork() { return pool_lost.load(std::memory_order_relaxed); }

HandedOverTasks::HandedOverTasks()
    : arena_(arena_for_this_thread()), group_(std::make_unique<tbb::task_group>()) {}

HandedOverTasks::~HandedOverTasks() { cancel_and_wait(); }

void HandedOverTasks::wait() {
  const std::unique_ptr<tbb::task_group> group = std::move(group_);
  arena_.execute([&] { group->wait(); });
}

void HandedOverTasks::cancel_and_wait() {
  if (!group_) return;
  const std::unique_ptr<tbb::task_group> group = std::move(group_);
  arena_.execute([&] {
    group->cancel();
    try {
      group->wait();
    } catch (...) {
      if (caught_thread_exit()) throw;
      // A task's failure: the caller is already leaving with a reason of its own.
    }
  });
}

void HandedOverTasks::abandon() noexcept {
  // Destroying the group would wait for tasks that no thread of this process
  // will ever finish.
  static_cast<void>(group_.release());
}

}  // namespace pool_detail

std::size_t thread_pool_size() {
  if (pool_detail::lost_to_fork()) return 1;
  return static_cast<std::size_t>(pool_detail::arena_for_this_thread().max_concurrency());
}

void run_on_pool_of(std::size_t threads, const std::function<void()>& work) {
  const std::unique_ptr<tbb::global_control> cap = lift_worker_cap(threads);
  tbb::task_arena arena(static_cast<int>(threads));
  leave_pool_behind_on_fork();
  tbb::task_arena* const outer = pool_override;
  pool_override = &arena;
  try {
    work();
  } catch (...) {
    pool_override = outer;
    throw;
  }
  pool_override = outer;
}

}  // namespace vesko
