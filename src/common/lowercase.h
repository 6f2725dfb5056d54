// Lower-casing of e-mail text: every character replaced by its full Unicode
// lower-case mapping (one character may become several, so the byte length
// may change), with a capital sigma becoming a final sigma where the
// Final_Sigma condition holds. Root locale: the result never depends on the
// process's locale. This is the same mapping as Python's str.lower(), which is
// what the models' vocabularies were built from.
#ifndef VESKO_COMMON_LOWERCASE_H_
#define VESKO_COMMON_LOWERCASE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace vesko {

// `text` must be valid UTF-8; any length that fits in memory (std::bad_alloc
// otherwise). Thread-safe.
std::string to_lower(std::string_view text);

// to_lower with no ICU call given more than `max_piece` bytes (values below 4,
// the longest character, act as 4). to_lower's own limit keeps ICU's 32-bit
// lengths safe; tests pass tiny limits to reach the splitting with short texts.
std::string to_lower_in_pieces(std::string_view text, std::size_t max_piece);

}  // namespace vesko

#endif  // VESKO_COMMON_LOWERCASE_H_
