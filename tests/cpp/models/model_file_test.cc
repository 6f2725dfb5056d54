// Reading model files: the whole of a file when it changes under the reader
// or a signal cuts a read short (a scripted read call stands in for the
// system's), the path in the readers' messages, and paths that name something
// other than a regular file. Missing
// files, NUL bytes and decode failures are checked through load in the Python
// suite, with the paths load builds.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "models/file_bytes.h"
#include "models/model_files.h"
#include "models/msgpack_builder.h"

namespace vesko {
namespace {

using testing::Pack;

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23);
  return s;
}

// Before read k (from 0), script[k] gives the file a new length or, when
// negative, fails the read with that error number.
const std::map<int, long>* script = nullptr;
std::string contents;
std::size_t position = 0;
int reads = 0;

ssize_t scripted_read(int, void* buffer, std::size_t count) {
  if (auto it = script->find(reads++); it != script->end()) {
    if (it->second < 0) {
      errno = static_cast<int>(-it->second);
      return -1;
    }
    contents = pattern(static_cast<std::size_t>(it->second));
  }
  const std::size_t n = std::min(count, contents.size() - std::min(position, contents.size()));
  std::memcpy(buffer, contents.data() + position, n);
  position += n;
  return static_cast<ssize_t>(n);
}

TEST(FileBytesTest, ReadsToTheRealEndAndRetriesAnInterruptionOnceInARow) {
  const std::string eintr = "error: Interrupted system call (os error 4)";
  const long kIntr = -EINTR;
  const struct {
    const char* name;
    std::size_t length;  // when fstat ran
    std::uint64_t size;  // what fstat said
    std::map<int, long> script;
    std::string want;  // the bytes read, or "error: " and the error text
    int reads;         // -1: any number
  } cases[] = {
      // clang-format off
      {"as stated: the file, then the read that finds its end", 5000, 5000, {}, pattern(5000), 2},
      {"empty", 0, 0, {}, "", -1},
      {"shrunk before the first read", 60, 100, {}, pattern(60), -1},
      {"grown a little", 10, 10, {{1, 17}}, pattern(17), -1},
      {"grown past any first regrowth", 10, 10, {{0, 100000}}, pattern(100000), -1},
      {"interrupted once at every read", 300, 300, {{0, kIntr}, {2, kIntr}}, pattern(300), -1},
      {"interruptions with progress between", 100, 100,
       {{1, kIntr}, {2, 200}, {3, kIntr}, {5, 300}, {6, kIntr}}, pattern(300), -1},
      {"interrupted twice in a row", 300, 300, {{0, kIntr}, {1, kIntr}}, eintr, -1},
      {"interrupted twice at the end", 300, 300, {{1, kIntr}, {2, kIntr}}, eintr, -1},
      {"a failing read", 300, 100, {{1, -EIO}}, "error: Input/output error (os error 5)", -1},
      {"a size no buffer holds, before any read", 3, UINT64_MAX, {}, "error: out of memory", 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    script = &c.script;
    contents = pattern(c.length);
    position = 0;
    reads = 0;
    FileBytes bytes;
    const std::string error = read_file_bytes(-1, c.size, bytes, &scripted_read);
    const auto* data = reinterpret_cast<const char*>(bytes.bytes().data());
    EXPECT_EQ(error.empty() ? std::string(data, bytes.bytes().size()) : "error: " + error, c.want)
        << c.name;
    EXPECT_TRUE(c.reads < 0 || reads == c.reads) << c.name << ": " << reads << " reads";
  }
}

class ModelFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vesko_model_file_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string write(const std::string& name, const Pack& record) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << record.as_string();
    return path;
  }

  std::string dir_;
  const Pack svm_ = Pack().array(3).array(1).floats({0.5, -0.5}).floats({0.25}).strs({"a", "b"});
};

// For a child that a regression cannot hang or blow up: killed after 10 s,
// with 1 GiB of address space above what it holds (a sanitizer's reservations
// included). Exits 0 when loading `path` fails with `want`, printing the error.
[[noreturn]] void expect_load_error_bounded(const std::string& path, const std::string& want) {
  alarm(10);
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t{1} << 30);
  const rlimit limit{cap, cap};
  setrlimit(RLIMIT_AS, &limit);
  const std::string error = load_tfidf_model(path).error();
  std::fprintf(stderr, "%s\n", error.c_str());
  std::_Exit(error == want ? 0 : 1);
}

TEST_F(ModelFileTest, OnlyRegularFilesAreReadAndPathsAreShownAsText) {
  // Without a writer, opening a FIFO blocks forever; /dev/zero never ends.
  // Both are refused before any read, however they are reached.
  const std::string fifo = dir_ + "/model1_tfidf.msgpack", zero = dir_ + "/model2_tfidf.msgpack";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  for (const std::string& path : {fifo, zero, std::string("/dev/zero")}) {
    EXPECT_EXIT(expect_load_error_bounded(path, "Failed to read " + path + ": not a regular file"),
                ::testing::ExitedWithCode(0), "")
        << path;
  }
  // A directory, directly or through a link, keeps its read error; a link to
  // a regular file is read through.
  const std::string dir_link = dir_ + "/model3_tfidf.msgpack", file_link = dir_ + "/model3.msgpack";
  ASSERT_EQ(symlink(dir_.c_str(), dir_link.c_str()), 0);
  for (const std::string& path : {dir_, dir_link}) {
    EXPECT_EQ(load_tfidf_model(path).error(),
              "Failed to read " + path + ": Is a directory (os error 21)");
  }
  ASSERT_EQ(symlink(write("real.msgpack", svm_).c_str(), file_link.c_str()), 0);
  EXPECT_TRUE(load_linear_svm_model(file_link));

  // Invalid UTF-8 in a path is shown replaced; the raw bytes still name the file.
  const std::string bad = dir_ + "/bad\xff\xfe.msgpack";
  EXPECT_EQ(load_linear_svm_model(bad).error(),
            "Failed to open " + dir_ +
                "/bad\xef\xbf\xbd\xef\xbf\xbd.msgpack: No such file or directory (os error 2)");
  write("bad\xff\xfe.msgpack", svm_);
  EXPECT_TRUE(load_linear_svm_model(bad));
}

}  // namespace
}  // namespace vesko
