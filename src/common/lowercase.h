// Lower-casing of e-mail text: every character replaced by its full Unicode
// lower-case mapping (one character may become several, so the byte length
// may change), with a capital sigma becoming a final sigma where the
// Final_Sigma condition holds. Root locale: the result never depends on the
// process's locale. This is the same mapping as Python's str.lower(), which is
// what the models' vocabularies were built from.
#ifndef VESKO_COMMON_LOWERCASE_H_
#define VESKO_COMMON_LOWERCASE_H_

#include <string>
#include <string_view>

namespace vesko {

// `text` must be valid UTF-8. Thread-safe.
std::string to_lower(std::string_view text);

}  // namespace vesko

#endif  // VESKO_COMMON_LOWERCASE_H_
