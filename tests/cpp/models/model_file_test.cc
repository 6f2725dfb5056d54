// The readers over real files: open, read and decode failures, each with the
// path and its cause.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

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

  // A pipe has no size to reserve from; it is read in growing chunks.
  const std::string fifo = dir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string bytes = p.as_string();
  FILE* writer = nullptr;
  std::thread feeder([&] {
    writer = std::fopen(fifo.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), writer);
    std::fclose(writer);
  });
  auto piped = load_linear_svm_model(fifo);
  feeder.join();
  ASSERT_TRUE(piped) << piped.error();
  EXPECT_EQ(piped->coef[0].size(), 20000u);
}

}  // namespace
}  // namespace vesko
