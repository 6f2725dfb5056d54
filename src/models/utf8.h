// UTF-8 validation with the error texts that model-file messages carry, and
// the lossy rendering used for paths in reader messages. The texts follow the
// ones that operators already see in logs from earlier releases.
#ifndef VESKO_MODELS_UTF8_H_
#define VESKO_MODELS_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vesko {

// Where validation stopped: `valid_up_to` bytes are well-formed; `error_len`
// is the length of the invalid sequence (1 to 3), or absent when the input
// ends inside a sequence that could still have been valid.
struct Utf8Error {
  std::size_t valid_up_to = 0;
  std::optional<std::size_t> error_len;
};

// The first error in `bytes`, or nullopt when they are valid UTF-8. Pure.
std::optional<Utf8Error> find_utf8_error(std::string_view bytes);

inline bool is_valid_utf8(std::string_view bytes) { return !find_utf8_error(bytes).has_value(); }

// "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
std::string describe_utf8_error(const Utf8Error& error);

// `bytes` with each maximal invalid subpart replaced by U+FFFD (one
// replacement per invalid sequence, one for an incomplete tail).
std::string utf8_lossy(std::string_view bytes);

}  // namespace vesko

#endif  // VESKO_MODELS_UTF8_H_
