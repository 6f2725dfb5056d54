#include "common/stderr_line.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace vesko {

void write_stderr_line(std::string_view line) {
  static std::mutex stderr_lock;
  std::string buffer;
  buffer.reserve(line.size() + 1);
  buffer.append(line);
  buffer.push_back('\n');

  std::lock_guard<std::mutex> guard(stderr_lock);
  const char* data = buffer.data();
  std::size_t left = buffer.size();
  while (left > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace vesko
