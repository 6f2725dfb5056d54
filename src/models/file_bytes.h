// The bytes of one model file, read whole into memory, and the texts of the
// system errors met on the way. Used by the model-file readers; no state of
// its own, safe to call from any thread.
#ifndef VESKO_MODELS_FILE_BYTES_H_
#define VESKO_MODELS_FILE_BYTES_H_

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace vesko {

// The platform's description of error number `code` (as strerror_r gives it),
// then " (os error <code>)".
std::string os_error_text(int code);

// A growable byte buffer without the zero-filling of std::vector::resize,
// which would touch every byte of a large file once more for nothing.
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;
  ~FileBytes();

  // False when the memory cannot be had; the contents are kept either way.
  bool reserve(std::size_t capacity);
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

// Runs a system call that reports failure with a negative result and errno,
// and runs it once more when a signal interrupted it. A second interruption
// in a row is returned as the failure: a signal that keeps arriving while the
// call waits (Ctrl-C pressed again on a load stuck on a network file system)
// then ends the load instead of being swallowed.
template <typename Call>
auto retry_once_if_interrupted(Call call) {
  auto result = call();
  if (result < 0 && errno == EINTR) result = call();
  return result;
}

// The read system call; tests substitute one that makes a file grow, shrink
// or be interrupted between two reads.
using ReadCall = ssize_t (*)(int fd, void* buffer, std::size_t count);

// Reads the regular file open on `fd` from its current position to its end
// into `bytes`. `size` is the number of bytes expected (fstat's size less the
// position): the buffer is reserved to it, so an unchanged file is read
// without regrowth, yet a file that shrank or grew meanwhile is still read up
// to where its reads end. Returns the error text, empty on success: "out of
// memory" when the buffer cannot be had, else os_error_text of the failed
// read (an interrupted read is retried once, as above).
std::string read_file_bytes(int fd, std::uint64_t size, FileBytes& bytes, ReadCall read = ::read);

}  // namespace vesko

#endif  // VESKO_MODELS_FILE_BYTES_H_
