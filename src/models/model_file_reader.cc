// The model-file readers: one procedure, read_model_file, behind every
// load_* function. The file is read whole into memory with as few system
// calls as the platform allows, then decoded from that copy while it is still
// open, and closed on every way out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "models/model_files.h"
#include "common/utf8.h"

namespace vesko {
namespace {

// strerror_r comes in two flavours: the XSI one returns an int and fills the
// buffer, the GNU one (what g++ on glibc gets) returns the text, which need
// not be in the buffer. Overloads pick the right reading at compile time.
[[maybe_unused]] const char* strerror_text(char* result, const char*) { return result; }
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}

std::string os_error_text(int code) {
  char buffer[256];
  buffer[0] = '\0';
  const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

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

// A growable byte buffer without the zero-filling of std::vector::resize,
// which would touch every byte of a large file once more for nothing.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }

  bool reserve(std::size_t capacity) {
    if (capacity <= capacity_) return true;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) return false;
    data_ = static_cast<std::uint8_t*>(grown);
    capacity_ = capacity;
    return true;
  }
  std::uint8_t* tail() { return data_ + size_; }
  std::size_t spare() const { return capacity_ - size_; }
  void grow_size(std::size_t n) { size_ += n; }
  std::size_t capacity() const { return capacity_; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

ssize_t read_retrying(int fd, void* buffer, std::size_t count) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  return n;
}

// Reads from the current position to the end of the file. The buffer is
// reserved from the file size first so that an ordinary file needs no
// regrowth; the final zero-length read goes to a small probe buffer so that
// an exactly sized buffer is not grown just to learn that the file ended.
// Returns the error text, empty on success.
std::string read_to_end(int fd, ByteBuffer& buffer) {
  struct stat status;
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (::fstat(fd, &status) == 0 && position >= 0 && status.st_size >= position) {
    const auto wanted = static_cast<std::uint64_t>(status.st_size - position);
    if (wanted > SIZE_MAX / 2 || !buffer.reserve(static_cast<std::size_t>(wanted))) {
      return "out of memory";
    }
  }
  while (true) {
    if (buffer.spare() == 0) {
      std::uint8_t probe[32];
      const ssize_t n = read_retrying(fd, probe, sizeof probe);
      if (n < 0) return os_error_text(errno);
      if (n == 0) return {};
      std::size_t capacity = buffer.capacity() * 2;
      if (capacity < 8192) capacity = 8192;
      if (!buffer.reserve(capacity)) return "out of memory";
      std::memcpy(buffer.tail(), probe, static_cast<std::size_t>(n));
      buffer.grow_size(static_cast<std::size_t>(n));
      continue;
    }
    const ssize_t n = read_retrying(fd, buffer.tail(), buffer.spare());
    if (n < 0) return os_error_text(errno);
    if (n == 0) return {};
    buffer.grow_size(static_cast<std::size_t>(n));
  }
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
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int code = errno;
    return Failure{"Failed to open " + utf8_lossy(path) + ": " + os_error_text(code)};
  }
  FileDescriptor file(fd);
  ByteBuffer buffer;
  std::string read_error = read_to_end(file.get(), buffer);
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
