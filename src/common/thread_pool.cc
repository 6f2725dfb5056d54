#include "common/thread_pool.h"

#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <mutex>

#include <tbb/global_control.h>

namespace vesko {
namespace {

constexpr std::size_t kMaxThreads = 0xffff;

// Kept for the life of the process: the pool's size never changes. Held in a
// static so leak checkers see it as reachable.
tbb::global_control* pool_size_control = nullptr;

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

void ensure_thread_pool() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::size_t count = thread_count_from_env(std::getenv("RAYON_NUM_THREADS"),
                                              std::getenv("RAYON_RS_NUM_CPUS"),
                                              ::sysconf(_SC_NPROCESSORS_ONLN));
    pool_size_control =
        new tbb::global_control(tbb::global_control::max_allowed_parallelism, count);
  });
}

std::size_t thread_pool_size() {
  ensure_thread_pool();
  if (pool_size_control == nullptr) return 1;
  return tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
}

}  // namespace vesko
