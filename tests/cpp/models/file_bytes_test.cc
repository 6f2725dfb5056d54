// Reading a file whole when it changes under the reader or a signal cuts a
// read short: a scripted read call stands in for the system's.
#include "models/file_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>

namespace vesko {
namespace {

// A file whose reads follow a script: before read number k (from 0) its
// contents may be replaced, and read k may fail with an error number instead.
struct ScriptedFile {
  explicit ScriptedFile(std::string initial, std::map<int, std::string> changes = {},
                        std::map<int, int> errors = {})
      : contents(std::move(initial)),
        contents_before_read(std::move(changes)),
        error_of_read(std::move(errors)) {}

  std::string contents;
  std::map<int, std::string> contents_before_read;
  std::map<int, int> error_of_read;
  std::size_t position = 0;
  int reads = 0;
};

ScriptedFile* file = nullptr;

ssize_t scripted_read(int, void* buffer, std::size_t count) {
  const int k = file->reads++;
  if (auto change = file->contents_before_read.find(k);
      change != file->contents_before_read.end()) {
    file->contents = change->second;
  }
  if (auto error = file->error_of_read.find(k); error != file->error_of_read.end()) {
    errno = error->second;
    return -1;
  }
  const std::size_t left = file->contents.size() - std::min(file->position, file->contents.size());
  const std::size_t n = std::min(count, left);
  std::memcpy(buffer, file->contents.data() + file->position, n);
  file->position += n;
  return static_cast<ssize_t>(n);
}

// Reads `scripted` as a file that fstat said held `size` bytes; returns the
// bytes read, or "error: " and the error text.
std::string read_scripted(ScriptedFile& scripted, std::uint64_t size) {
  file = &scripted;
  FileBytes bytes;
  const std::string error = read_file_bytes(-1, size, bytes, &scripted_read);
  file = nullptr;
  if (!error.empty()) return "error: " + error;
  return std::string(reinterpret_cast<const char*>(bytes.bytes().data()), bytes.bytes().size());
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
  return s;
}

TEST(FileBytesTest, ReadsByTheSizeAndToTheRealEnd) {
  ScriptedFile same{pattern(5000)};
  EXPECT_EQ(read_scripted(same, 5000), pattern(5000));
  EXPECT_EQ(same.reads, 2);  // the whole file, then the read that finds its end

  ScriptedFile empty{""};
  EXPECT_EQ(read_scripted(empty, 0), "");

  // Shrunk between fstat and the first read.
  ScriptedFile shrunk{pattern(60)};
  EXPECT_EQ(read_scripted(shrunk, 100), pattern(60));

  // Grown past the size, by a little and by far more than any first regrowth.
  ScriptedFile grown{pattern(10)};
  grown.contents_before_read[1] = pattern(17);
  EXPECT_EQ(read_scripted(grown, 10), pattern(17));
  ScriptedFile much{pattern(10), {{0, pattern(100000)}}};
  EXPECT_EQ(read_scripted(much, 10), pattern(100000));
}

TEST(FileBytesTest, AnInterruptedReadIsRetriedOnceInARow) {
  // Interrupted once at every read, the full read and the end probe alike.
  ScriptedFile once{pattern(300), {}, {{0, EINTR}, {2, EINTR}}};
  EXPECT_EQ(read_scripted(once, 300), pattern(300));

  // Interruptions with progress in between never add up.
  ScriptedFile spread{pattern(300),
                      {{0, pattern(100)}, {2, pattern(200)}, {5, pattern(300)}},
                      {{1, EINTR}, {3, EINTR}, {6, EINTR}}};
  EXPECT_EQ(read_scripted(spread, 100), pattern(300));

  ScriptedFile twice{pattern(300), {}, {{0, EINTR}, {1, EINTR}}};
  EXPECT_EQ(read_scripted(twice, 300), "error: Interrupted system call (os error 4)");
  ScriptedFile twice_at_end{pattern(300), {}, {{1, EINTR}, {2, EINTR}}};
  EXPECT_EQ(read_scripted(twice_at_end, 300), "error: Interrupted system call (os error 4)");
}

TEST(FileBytesTest, FailuresOfTheReadAndOfTheBuffer) {
  ScriptedFile broken{pattern(300), {}, {{1, EIO}}};
  EXPECT_EQ(read_scripted(broken, 100), "error: Input/output error (os error 5)");

  // A size no buffer can hold fails before the first read.
  ScriptedFile huge{pattern(3)};
  EXPECT_EQ(read_scripted(huge, UINT64_MAX), "error: out of memory");
  EXPECT_EQ(huge.reads, 0);
}

}  // namespace
}  // namespace vesko
