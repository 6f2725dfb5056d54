#include "common/thread_exit.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <stdexcept>

namespace vesko {
namespace {

struct Seen {
  bool thread_exit = false;
  bool past_the_handler = false;
};

// A thread's exit passes a catch-all that asks and rethrows; it is told
// apart from a C++ exception.
TEST(ThreadExitTest, CatchAllsLetAThreadsExitGoOn) {
  Seen seen;
  pthread_t thread;
  const auto body = [](void* argument) -> void* {
    Seen& seen = *static_cast<Seen*>(argument);
    try {
      ::pthread_exit(nullptr);
    } catch (...) {
      seen.thread_exit = caught_thread_exit();
      if (caught_thread_exit()) throw;
    }
    seen.past_the_handler = true;
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, nullptr, body, &seen), 0);
  ASSERT_EQ(::pthread_join(thread, nullptr), 0);
  EXPECT_TRUE(seen.thread_exit);
  EXPECT_FALSE(seen.past_the_handler);

  bool exception_taken_for_an_exit = true;
  try {
    throw std::runtime_error("a C++ exception");
  } catch (...) {
    exception_taken_for_an_exit = caught_thread_exit();
  }
  EXPECT_FALSE(exception_taken_for_an_exit);
}

}  // namespace
}  // namespace vesko
