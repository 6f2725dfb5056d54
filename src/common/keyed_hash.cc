#include "common/keyed_hash.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#endif

namespace vesko {
namespace {

// Fills out[got, size) from the kernel's random source; returns the new
// `got`, short only when the source is missing or refuses.
std::size_t fill_random(unsigned char* out, std::size_t got, std::size_t size) {
#if __has_include(<sys/random.h>)
  while (got < size) {
    const ssize_t n = ::getrandom(out + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // ENOSYS on kernels before 3.17, or a seccomp filter
    }
  }
#endif
  if (got == size) return got;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return got;
  while (got < size) {
    const ssize_t n = ::read(fd, out + got, size - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      break;
    }
  }
  ::close(fd);
  return got;
}

HashKey draw_hash_key() {
  HashKey key{};
  auto* const bytes = reinterpret_cast<unsigned char*>(key.words);
  const int saved_errno = errno;
  const std::size_t got = fill_random(bytes, 0, sizeof key.words);
  errno = saved_errno;
  if (got < sizeof key.words) {
    // No random source: far weaker, but still differs between processes
    // (clock, process id, address-space layout) rather than being fixed.
    int on_stack = 0;
    const HashKey seed{{static_cast<std::uint64_t>(
                            std::chrono::high_resolution_clock::now().time_since_epoch().count()),
                        static_cast<std::uint64_t>(::getpid()),
                        reinterpret_cast<std::uintptr_t>(&on_stack),
                        reinterpret_cast<std::uintptr_t>(&draw_hash_key)}};
    for (int i = 0; i < 4; ++i) {
      key.words[i] ^= keyed_mix(seed, 0x243F6A8885A308D3ull * static_cast<std::uint64_t>(i + 1),
                                0x13198A2E03707344ull);
    }
  }
  // The second word multiplies whole short keys (their other word is 0):
  // odd, so that product loses no bit of them.
  key.words[1] |= 1;
  return key;
}

}  // namespace

const HashKey& process_hash_key() {
  static const HashKey key = draw_hash_key();
  return key;
}

HashKey derive_hash_key(const HashKey& key, std::uint64_t n) {
  HashKey derived;
  for (std::uint64_t i = 0; i < 4; ++i) {
    derived.words[i] = keyed_mix(key, n, 0x9E3779B97F4A7C15ull * (i + 1), 0xA4093822299F31D0ull);
  }
  derived.words[1] |= 1;
  return derived;
}

}  // namespace vesko
