// The model-file readers: one procedure, read_model_file, behind every
// load_* function. The file is read whole into memory with as few system
// calls as the platform allows, then decoded from that copy while it is still
// open, and closed on every way out. Nothing but a regular file is read, so
// no model path can make a load wait forever or read without end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/utf8.h"
#include "models/file_bytes.h"
#include "models/model_files.h"

namespace vesko {
namespace {

// Owns the descriptor; a failed close is ignored, as nothing was written.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads the whole of the file open on `fd`. Only a regular file has an end
// that a read is sure to reach: a FIFO without a writer waits forever and a
// device such as /dev/zero never ends, so anything else is refused before its
// first read. A directory keeps the error that reading it gives. Returns the
// error text, empty on success.
std::string read_regular_file(int fd, FileBytes& bytes) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return os_error_text(errno);
  if (S_ISDIR(status.st_mode)) return os_error_text(EISDIR);
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  // The open did not wait for a writer; reads of the file itself may wait.
  ::fcntl(fd, F_SETFL, 0);
  return read_file_bytes(fd, static_cast<std::uint64_t>(status.st_size), bytes);
}

template <typename Record>
using Decoder = Expected<Record> (*)(std::span<const std::uint8_t>);

// Open, read whole, decode, close; the first failure ends the call with
// "Failed to open|read|deserialize " + path + ": " + cause. The path is shown
// with invalid UTF-8 replaced by U+FFFD.
template <typename Record>
Expected<Record> read_model_file(const std::string& path, Decoder<Record> decode) {
  if (path.find('\0') != std::string::npos) {
    return Failure{"Failed to open " + utf8_lossy(path) +
                   ": file name contained an unexpected NUL byte"};
  }
  // Non-blocking, so that opening a FIFO does not wait for a writer before the
  // file's kind can be checked; no controlling terminal from a tty either.
  const int fd = retry_once_if_interrupted(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); });
  if (fd < 0) {
    const int code = errno;
    return Failure{"Failed to open " + utf8_lossy(path) + ": " + os_error_text(code)};
  }
  FileDescriptor file(fd);
  FileBytes buffer;
  std::string read_error = read_regular_file(file.get(), buffer);
  if (!read_error.empty()) {
    return Failure{"Failed to read " + utf8_lossy(path) + ": " + read_error};
  }
  Expected<Record> record = decode(buffer.bytes());
  if (!record) {
    return Failure{"Failed to deserialize " + utf8_lossy(path) + ": " + record.take_error()};
  }
  return record;
}

}  // namespace

Expected<TfidfModel> load_tfidf_model(const std::string& path) {
  return read_model_file<TfidfModel>(path, &decode_tfidf_model);
}

Expected<NaiveBayesModel> load_naive_bayes_model(const std::string& path) {
  return read_model_file<NaiveBayesModel>(path, &decode_naive_bayes_model);
}

Expected<LogisticRegressionModel> load_logistic_regression_model(const std::string& path) {
  return read_model_file<LogisticRegressionModel>(path, &decode_logistic_regression_model);
}

Expected<LinearSVMModel> load_linear_svm_model(const std::string& path) {
  return read_model_file<LinearSVMModel>(path, &decode_linear_svm_model);
}

Expected<XGBoostModelFile> load_xgboost_model(const std::string& path) {
  return read_model_file<XGBoostModelFile>(path, &decode_xgboost_model);
}

}  // namespace vesko
