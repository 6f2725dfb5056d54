// The readers over real files: open, read and decode failures, each with the
// path and its cause, and paths that name something other than a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/resource.h>
#include <sys/wait.h>

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

TEST_F(ModelFileTest, ReadsARecordAndIgnoresTrailingBytes) {
  const std::string path = write("model3.msgpack", svm_record().as_string() + "trailing\xc1");
  auto model = load_linear_svm_model(path);
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->intercept, std::vector<double>{0.25});
}

TEST_F(ModelFileTest, EveryReaderDecodesItsOwnRecord) {
  Pack tfidf;
  tfidf.array(3).map(1).str("w").uint(0).floats({1.0}).uint(1);
  EXPECT_TRUE(load_tfidf_model(write("t", tfidf.as_string())));
  Pack lr;
  lr.array(3).array(1).floats({1.0}).floats({0.0}).strs({"clean", "spam"});
  EXPECT_TRUE(load_logistic_regression_model(write("l", lr.as_string())));
  Pack nb;
  nb.array(3).array(0).floats({}).strs({});
  EXPECT_TRUE(load_naive_bayes_model(write("n", nb.as_string())));
  Pack xgb;
  xgb.array(5).array(0).uint(0).f64(0.3).f64(0.5).strs({});
  EXPECT_TRUE(load_xgboost_model(write("x", xgb.as_string())));
}

TEST_F(ModelFileTest, DecodeFailuresCarryThePath) {
  const struct {
    std::string bytes;
    const char* cause;
  } cases[] = {
      {"", "IO error while reading marker: failed to fill whole buffer"},
      {svm_record().as_string().substr(0, 3),
       "IO error while reading marker: failed to fill whole buffer"},
      {"\x93\x91\xcb\x3f", "IO error while reading data: failed to fill whole buffer"},
      {"\x93\x90\x90\x91\xa5sp", "IO error while reading data: unexpected end of file"},
      {"\xc0", "invalid type: unit value, expected struct LinearSVMModel"},
  };
  for (const auto& c : cases) {
    const std::string path = write("model3.msgpack", c.bytes);
    auto model = load_linear_svm_model(path);
    ASSERT_FALSE(model);
    EXPECT_EQ(model.error(), "Failed to deserialize " + path + ": " + c.cause);
  }
}

TEST_F(ModelFileTest, OpenAndReadFailuresCarryTheOsError) {
  const std::string missing = dir_ + "/absent.msgpack";
  auto a = load_tfidf_model(missing);
  ASSERT_FALSE(a);
  EXPECT_EQ(a.error(), "Failed to open " + missing + ": No such file or directory (os error 2)");

  auto d = load_xgboost_model(dir_);  // a directory opens, then fails to read
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error(), "Failed to read " + dir_ + ": Is a directory (os error 21)");

  const std::string nul = dir_ + std::string("/a\0b", 4);
  auto n = load_tfidf_model(nul);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error(), "Failed to open " + nul + ": file name contained an unexpected NUL byte");
}

TEST_F(ModelFileTest, UnreadableFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  const std::string path = write("secret.msgpack", svm_record().as_string());
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  auto model = load_linear_svm_model(path);
  ASSERT_FALSE(model);
  EXPECT_EQ(model.error(), "Failed to open " + path + ": Permission denied (os error 13)");
}

TEST_F(ModelFileTest, ASizeThatCannotBeReservedIsOutOfMemory) {
  int overcommit = -1;
  std::ifstream("/proc/sys/vm/overcommit_memory") >> overcommit;
  if (overcommit == 1) GTEST_SKIP() << "the kernel grants any allocation";
  const std::string path = write("sparse.msgpack", "");
  if (truncate(path.c_str(), off_t{1} << 43) != 0) GTEST_SKIP() << "no 8 TiB sparse files here";
  auto model = load_tfidf_model(path);
  ASSERT_FALSE(model);
  EXPECT_EQ(model.error(), "Failed to read " + path + ": out of memory");
}

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

TEST_F(ModelFileTest, ReadsFilesLargerThanAnyProbe) {
  Pack p;
  p.array(3).array(1).array(20000);
  for (int i = 0; i < 20000; ++i) p.f64(i);
  p.floats({0.0}).strs({"clean", "spam"});
  auto model = load_linear_svm_model(write("big", p.as_string()));
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->coef[0][19999], 19999.0);
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
  EXPECT_EQ(tfidf_load_error(dir_link),
            "Failed to read " + dir_link + ": Is a directory (os error 21)");

  // A link to a regular file is read through.
  const std::string record = write("real.msgpack", svm_record().as_string());
  const std::string record_link = dir_ + "/model3.msgpack";
  ASSERT_EQ(symlink(record.c_str(), record_link.c_str()), 0);
  EXPECT_TRUE(load_linear_svm_model(record_link));
}

}  // namespace
}  // namespace vesko
