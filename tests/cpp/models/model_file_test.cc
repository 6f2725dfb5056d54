// The readers over real files: open, read and decode failures, each with the
// path and its cause, and paths that name something other than a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "models/model_files.h"
#include "models/msgpack_builder.h"

namespace vesko {
namespace {

using testing::Pack;

class ModelFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vesko_model_file_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::string dir_;
};

Pack svm_record() {
  Pack p;
  p.array(3).array(1).floats({0.5, -0.5}).floats({0.25}).strs({"clean", "spam"});
  return p;
}

// Messages of missing files, NUL bytes and decode failures are checked
// through load in the Python suite, with the paths load builds.
TEST_F(ModelFileTest, InvalidUtf8InThePathIsShownReplaced) {
  const std::string path = dir_ + "/bad\xff\xfe.msgpack";
  auto model = load_linear_svm_model(path);
  ASSERT_FALSE(model);
  EXPECT_EQ(model.error(), "Failed to open " + dir_ +
                               "/bad\xef\xbf\xbd\xef\xbf\xbd.msgpack: No such file or directory "
                               "(os error 2)");
  // The raw bytes still name the file.
  write("bad\xff\xfe.msgpack", svm_record().as_string());
  EXPECT_TRUE(load_linear_svm_model(path));
}

// Larger than any first read, with bytes after the record that are not read.
TEST_F(ModelFileTest, ReadsLargeFilesWholeAndIgnoresTrailingBytes) {
  Pack p;
  p.array(3).array(1).array(20000);
  for (int i = 0; i < 20000; ++i) p.f64(i);
  p.floats({0.25}).strs({"clean", "spam"});
  auto model = load_linear_svm_model(write("big", p.as_string() + "trailing\xc1"));
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->coef[0][19999], 19999.0);
  EXPECT_EQ(model->intercept, std::vector<double>{0.25});
}

// Runs `body` in a child process that a regression cannot hang or blow up:
// killed after 10 s, with 1 GiB of address space above what it already holds
// (a sanitizer's reservations included). Returns what `body` returned, or how
// the child died.
std::string in_bounded_child(const std::function<std::string()>& body) {
  int channel[2];
  if (pipe(channel) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid < 0) return "no fork";
  if (pid == 0) {
    close(channel[0]);
    alarm(10);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t{1} << 30);
    const rlimit limit{cap, cap};
    setrlimit(RLIMIT_AS, &limit);
    const std::string result = body();
    if (write(channel[1], result.data(), result.size()) < 0) _exit(2);
    _exit(0);
  }
  close(channel[1]);
  std::string result;
  char chunk[4096];
  ssize_t n;
  while ((n = read(channel[0], chunk, sizeof chunk)) > 0) result.append(chunk, n);
  close(channel[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) return "child killed by signal " + std::to_string(WTERMSIG(status));
  if (WEXITSTATUS(status) != 0) return "child exited with " + std::to_string(WEXITSTATUS(status));
  return result;
}

std::string tfidf_load_error(const std::string& path) {
  auto model = load_tfidf_model(path);
  return model ? "loaded" : model.error();
}

TEST_F(ModelFileTest, OnlyRegularFilesAreRead) {
  // Without a writer a FIFO used to block the open forever; /dev/zero never
  // ends. Both are refused before any read, however they are reached.
  const std::string fifo = dir_ + "/model1_tfidf.msgpack";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string zero_link = dir_ + "/model2_tfidf.msgpack";
  ASSERT_EQ(symlink("/dev/zero", zero_link.c_str()), 0);
  for (const std::string& path : {fifo, zero_link, std::string("/dev/zero")}) {
    EXPECT_EQ(in_bounded_child([&] { return tfidf_load_error(path); }),
              "Failed to read " + path + ": not a regular file");
  }

  // A directory, directly or through a link, keeps its read error.
  const std::string dir_link = dir_ + "/model3_tfidf.msgpack";
  ASSERT_EQ(symlink(dir_.c_str(), dir_link.c_str()), 0);
  for (const std::string& path : {dir_, dir_link}) {
    EXPECT_EQ(tfidf_load_error(path), "Failed to read " + path + ": Is a directory (os error 21)");
  }

  // A link to a regular file is read through.
  const std::string record = write("real.msgpack", svm_record().as_string());
  const std::string record_link = dir_ + "/model3.msgpack";
  ASSERT_EQ(symlink(record.c_str(), record_link.c_str()), 0);
  EXPECT_TRUE(load_linear_svm_model(record_link));
}

}  // namespace
}  // namespace vesko
