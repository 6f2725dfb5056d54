#include "common/thread_pool.h"

#include <gtest/gtest.h>
#include <tbb/parallel_for.h>

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

// The calling thread makes indices ready in order while the pool runs the
// bodies of those already ready; a body never runs before its index is ready,
// nor twice, and nothing from a refused (or throwing) index on runs at all.
TEST(ParallelForEachReadyTest, BodiesFollowReadinessAndStopAtTheFirstRefusal) {
  const std::thread::id caller = std::this_thread::get_id();
  for (const std::size_t refused : {std::size_t{1000}, std::size_t{0}, std::size_t{613}}) {
    std::vector<std::atomic<int>> ready(1000), ran(1000);
    std::size_t next = 0;
    bool in_order = true;
    const bool all = parallel_for_each_ready(
        ready.size(),
        [&](std::size_t i) {
          in_order = in_order && i == next++ && std::this_thread::get_id() == caller;
          if (i == refused) return false;
          ready[i].store(1);
          return true;
        },
        [&](std::size_t i) { ran[i].fetch_add(ready[i].load() == 1 ? 1 : 100); });
    EXPECT_TRUE(in_order);
    EXPECT_EQ(all, refused == 1000);
    for (std::size_t i = 0; i < ran.size(); ++i) {
      // Once one is refused, those ready but not yet started may be skipped.
      ASSERT_TRUE(i < refused ? ran[i] == 1 || (refused < 1000 && ran[i] == 0) : ran[i] == 0) << i;
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
