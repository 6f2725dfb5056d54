#include "common/thread_pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

namespace vesko {
namespace {

TEST(ThreadCountFromEnvTest, Cases) {
  const struct {
    const char* num_threads;  // RAYON_NUM_THREADS, null when unset
    const char* num_cpus;     // RAYON_RS_NUM_CPUS, null when unset
    long online;
    std::size_t expected;
  } cases[] = {
      // clang-format off
      {"8", nullptr, 4, 8}, {"+8", nullptr, 4, 8}, {"007", nullptr, 4, 7},
      {"0", nullptr, 4, 4},  // zero: one per online processor
      {"0", "6", 4, 4},      // a valid RAYON_NUM_THREADS wins, even "0"
      {nullptr, nullptr, 4, 4}, {nullptr, nullptr, 0, 1}, {nullptr, nullptr, -1, 1},
      {"", nullptr, 4, 4}, {"+", nullptr, 4, 4}, {"++8", nullptr, 4, 4}, {"abc", nullptr, 4, 4},
      {" 8", nullptr, 4, 4}, {"8 ", nullptr, 4, 4}, {"-1", nullptr, 4, 4}, {"8a", nullptr, 4, 4},
      {"18446744073709551615", nullptr, 4, 65535}, {"18446744073709551616", nullptr, 4, 4},
      {"99999999999999999999999", nullptr, 4, 4},
      {nullptr, "6", 4, 6}, {"abc", "6", 4, 6}, {"", "6", 4, 6}, {"3", "6", 4, 3},
      {nullptr, "0", 4, 4}, {nullptr, "x", 4, 4},
      {"65535", nullptr, 4, 65535}, {"65536", nullptr, 4, 65535}, {"1000000", nullptr, 4, 65535},
      {nullptr, "70000", 4, 65535}, {nullptr, nullptr, 100000, 65535},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(thread_count_from_env(c.num_threads, c.num_cpus, c.online), c.expected)
        << testing::PrintToString(std::make_tuple(c.num_threads, c.num_cpus, c.online));
  }
}

TEST(ParallelForIndexTest, VisitsEveryIndexOnceAndPassesExceptions) {
  std::vector<std::atomic<int>> visits(10000);
  parallel_for_index(visits.size(), [&](std::size_t i) { visits[i].fetch_add(1); });
  for (const auto& v : visits) ASSERT_EQ(v.load(), 1);
  parallel_for_index(0, [](std::size_t) { FAIL() << "no index to visit"; });
  const auto throw_at_57 = [](std::size_t i) {
    if (i == 57) throw std::out_of_range("57");
  };
  EXPECT_THROW(parallel_for_index(100, throw_at_57), std::out_of_range);
}

// The calling thread makes indices ready in order, outside the pool, while
// the pool runs the bodies of those already ready; a body never runs before
// its index is ready, nor twice, and nothing from a refused (or throwing)
// index on runs at all.
TEST(ParallelForEachReadyTest, BodiesFollowReadinessAndStopAtTheFirstRefusal) {
  // The pool's arena is told apart from the one a thread is in by default by
  // its size, which the default is not.
  constexpr int kPoolSize = 3;
  ASSERT_NE(tbb::this_task_arena::max_concurrency(), kPoolSize);
  const auto inside_an_arena = [] { return tbb::this_task_arena::max_concurrency() == kPoolSize; };
  run_on_pool_of(kPoolSize, [&] {
    const std::thread::id caller = std::this_thread::get_id();
    for (const std::size_t refused : {std::size_t{1000}, std::size_t{0}, std::size_t{613}}) {
      std::vector<std::atomic<int>> ready(1000), ran(1000);
      std::size_t next = 0;
      bool in_order = true;
      const bool all = parallel_for_each_ready(
          ready.size(),
          [&](std::size_t i) {
            in_order = in_order && i == next++ && std::this_thread::get_id() == caller &&
                       !inside_an_arena();
            if (i == refused) return false;
            ready[i].store(1);
            return true;
          },
          [&](std::size_t i) { ran[i].fetch_add(ready[i].load() == 1 ? 1 : 100); });
      EXPECT_TRUE(in_order);
      EXPECT_EQ(all, refused == 1000);
      for (std::size_t i = 0; i < ran.size(); ++i) {
        // Once one is refused, those ready but not yet started may be skipped.
        ASSERT_TRUE(i < refused ? ran[i] == 1 || (refused < 1000 && ran[i] == 0) : ran[i] == 0)
            << i;
      }
    }
    std::atomic<int> ran{0};
    const auto throw_at_5 = [](std::size_t i) {
      if (i == 5) throw std::out_of_range("5");
      return true;
    };
    EXPECT_THROW(parallel_for_each_ready(10, throw_at_5, [&](std::size_t) { ++ran; }),
                 std::out_of_range);
    EXPECT_LE(ran.load(), 5);
    const auto throw_body = [](std::size_t i) {
      if (i == 7) throw std::out_of_range("7");
    };
    EXPECT_THROW(parallel_for_each_ready(
                     10, [](std::size_t) { return true; }, throw_body),
                 std::out_of_range);
  });
}

// What ready() may do while bodies handed over before it are at work: the
// things Python code run by the calling thread does. Each case runs in a
// child process, on a process pool of its own size, under an alarm, so that
// a deadlock fails it instead of hanging the suite.
TEST(ParallelForEachReadyTest, ReadyMayRunAnythingWhileBodiesWork) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Sums i over [0, n) on the pool.
  const auto step_sum = [](std::size_t n) {
    std::atomic<std::size_t> sum{0};
    parallel_for_index(n, [&](std::size_t i) { sum += i; });
    return sum.load();
  };
  const std::function<bool(std::size_t)> cases[] = {
      // A parallel step of its own, on the calling thread: re-entry.
      [&](std::size_t i) { return step_sum(1000 + i) == (1000 + i) * (999 + i) / 2; },
      // Another thread's whole step, waited for: a lock handed to another
      // thread that calls in.
      [&](std::size_t i) {
        std::size_t sum = 0;
        std::thread other([&] { sum = step_sum(500 + i); });
        other.join();
        return sum == (500 + i) * (499 + i) / 2;
      },
      // A nested step that itself readies its indices.
      [&](std::size_t i) {
        std::atomic<int> ran{0};
        return parallel_for_each_ready(
                   3 + i % 5, [&](std::size_t) { return step_sum(64) == 2016; },
                   [&](std::size_t) { ++ran; }) &&
               ran == static_cast<int>(3 + i % 5);
      },
  };
  for (const char* threads : {"2", "4"}) {
    for (std::size_t c = 0; c < std::size(cases); ++c) {
      EXPECT_EXIT(
          {
            ::alarm(60);
            ::setenv("RAYON_NUM_THREADS", threads, 1);
            std::vector<std::atomic<int>> ran(64);
            bool ok = parallel_for_each_ready(
                ran.size(), [&](std::size_t i) { return i < 2 || cases[c](i); },
                [&](std::size_t i) {
                  std::this_thread::sleep_for(std::chrono::microseconds(200));
                  ++ran[i];
                });
            for (const auto& r : ran) ok = ok && r == 1;
            std::exit(ok ? 0 : 1);
          },
          ::testing::ExitedWithCode(0), "")
          << "case " << c << ", " << threads << " threads";
    }
  }
}

// A ready() that throws leaves nothing of the step at work.
TEST(ParallelForEachReadyTest, NoBodyOutlivesAThrowingReady) {
  std::atomic<int> running{0};
  EXPECT_THROW(parallel_for_each_ready(
                   200,
                   [](std::size_t i) {
                     if (i == 150) throw std::out_of_range("150");
                     return true;
                   },
                   [&](std::size_t) {
                     ++running;
                     std::this_thread::sleep_for(std::chrono::microseconds(500));
                     --running;
                   }),
               std::out_of_range);
  EXPECT_EQ(running.load(), 0);
}

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer's allocator (GCC 12's) keeps its locks across fork, so a
// child forked while pool threads free a task can hang inside it. A pool of
// one thread has no threads of its own, and still leaves the tasks handed
// over before the fork to the child.
constexpr const char* kForkTestPoolSize = "1";
#else
constexpr const char* kForkTestPoolSize = "4";
#endif

// A child forked while bodies are handed over runs without the pool: one
// forked by ready() itself finishes the step, every body done, and its later
// steps run; so do those of a child forked by another thread meanwhile.
TEST(ParallelForEachReadyTest, ForkedChildrenFinishWithoutThePool) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto fork_and_check = [](const std::function<bool()>& in_child) {
    const pid_t child = ::fork();
    if (child == 0) std::_Exit(in_child() ? 0 : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  };
  const auto later_step_works = [] {
    std::vector<std::atomic<int>> visits(5000);
    parallel_for_index(visits.size(), [&](std::size_t i) { ++visits[i]; });
    for (const auto& v : visits) {
      if (v != 1) return false;
    }
    return thread_pool_size() == 1;
  };
  for (const bool by_ready : {true, false}) {
    EXPECT_EXIT(
        {
          ::alarm(60);
          ::setenv("RAYON_NUM_THREADS", kForkTestPoolSize, 1);
          std::vector<std::atomic<int>> done(300);
          bool forked_ok = true;
          const bool all = parallel_for_each_ready(
              done.size(),
              [&](std::size_t i) {
                if (i != 200) return true;
                if (by_ready) {
                  const pid_t child = ::fork();
                  if (child != 0) {
                    int status = 0;
                    forked_ok = child > 0 && ::waitpid(child, &status, 0) == child &&
                                WIFEXITED(status) && WEXITSTATUS(status) == 0;
                  }
                  return true;
                }
                std::thread other([&] { forked_ok = fork_and_check(later_step_works); });
                other.join();
                return true;
              },
              [&](std::size_t i) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                done[i] = 1;
              });
          bool every_body_done = all;
          for (const auto& d : done) every_body_done = every_body_done && d == 1;
          if (pool_detail::lost_to_fork()) {  // the child that ready() forked
            std::_Exit(every_body_done && later_step_works() ? 0 : 1);
          }
          std::exit(every_body_done && forked_ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << (by_ready ? "forked by ready()" : "forked by another thread");
  }
}

using Loop = std::function<void(std::size_t, const std::function<void(std::size_t)>&)>;

// The distinct threads that run a loop over slow bodies, some of which start
// nested loops.
std::size_t threads_used(const Loop& loop) {
  std::mutex mutex;
  std::set<std::thread::id> ids;
  const std::function<void(std::size_t)> note = [&](std::size_t) {
    std::lock_guard<std::mutex> lock(mutex);
    ids.insert(std::this_thread::get_id());
  };
  loop(400, [&](std::size_t i) {
    note(i);
    if (i % 50 == 0) loop(50, note);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  });
  return ids.size();
}

const Loop vesko_loop = [](std::size_t n, const auto& body) { parallel_for_index(n, body); };

TEST(ThreadPoolTest, PrivatePoolBoundsNestedSteps) {
  const std::size_t outside = thread_pool_size();
  run_on_pool_of(2, [&] {
    EXPECT_EQ(thread_pool_size(), 2u);
    EXPECT_LE(threads_used(vesko_loop), 2u);
  });
  EXPECT_EQ(thread_pool_size(), outside);
}

// The environment sizes vesko's pool and nothing else: another oneTBB user in
// the process keeps every processor. Run in a fresh process, as the size is
// fixed on first use.
TEST(ThreadPoolTest, EnvironmentSizesVeskoAlone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Loop plain_tbb_loop = [](std::size_t n, const auto& body) {
    tbb::parallel_for(std::size_t{0}, n, body);
  };
  EXPECT_EXIT(
      {
        ::setenv("RAYON_NUM_THREADS", "1", 1);
        const bool own = thread_pool_size() == 1 && threads_used(vesko_loop) == 1;
        const bool others =
            tbb::info::default_concurrency() < 2 || threads_used(plain_tbb_loop) >= 2;
        std::exit(own && others ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vesko
