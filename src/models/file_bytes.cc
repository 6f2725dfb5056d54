#include "models/file_bytes.h"

#include <cstdlib>
#include <cstring>

namespace vesko {
namespace {

// strerror_r comes in two flavours: the XSI one returns an int and fills the
// buffer, the GNU one (what g++ on glibc gets) returns the text, which need
// not be in the buffer. Overloads pick the right reading at compile time.
[[maybe_unused]] const char* strerror_text(char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}

}  // namespace

std::string os_error_text(int code) {
  char buffer[256];
  buffer[0] = '\0';
  const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

FileBytes::~FileBytes() { std::free(data_); }

bool FileBytes::reserve(std::size_t capacity) {
  if (capacity <= capacity_) return true;
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) return false;
  data_ = static_cast<std::uint8_t*>(grown);
  capacity_ = capacity;
  return true;
}

// Once the buffer is full, the next read goes to a small probe buffer, so
// that a file of exactly the expected size is not regrown just to learn that
// it ended; only a file that grew pays for the regrowth.
std::string read_file_bytes(int fd, std::uint64_t size, FileBytes& bytes, ReadCall read) {
  if (size > SIZE_MAX / 2 || !bytes.reserve(static_cast<std::size_t>(size))) {
    return "out of memory";
  }
  while (true) {
    if (bytes.spare() == 0) {
      std::uint8_t probe[32];
      const ssize_t n = retry_once_if_interrupted([&] { return read(fd, probe, sizeof probe); });
      if (n < 0) return os_error_text(errno);
      if (n == 0) return {};
      std::size_t capacity = bytes.capacity() * 2;
      if (capacity < 8192) capacity = 8192;
      if (!bytes.reserve(capacity)) return "out of memory";
      std::memcpy(bytes.tail(), probe, static_cast<std::size_t>(n));
      bytes.grow_size(static_cast<std::size_t>(n));
      continue;
    }
    const ssize_t n =
        retry_once_if_interrupted([&] { return read(fd, bytes.tail(), bytes.spare()); });
    if (n < 0) return os_error_text(errno);
    if (n == 0) return {};
    bytes.grow_size(static_cast<std::size_t>(n));
  }
}

}  // namespace vesko
