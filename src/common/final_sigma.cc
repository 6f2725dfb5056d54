#include "common/final_sigma.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>

namespace vesko {
namespace {

// What the first character on one side of a sigma that is not skipped says.
// The case-ignorable test comes first, as in ICU.
enum class Context { kSkip, kCased, kUncased };

Context classify(UChar32 c) {
  if (c < 0) return Context::kUncased;  // ill-formed: ICU's context iterator stops
  if (u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE)) return Context::kSkip;
  return u_hasBinaryProperty(c, UCHAR_CASED) ? Context::kCased : Context::kUncased;
}

bool cased_before(const std::uint8_t* bytes, std::size_t at) {
  while (at > 0) {
    // U8_PREV takes 32-bit offsets and reads at most four bytes back, so it
    // gets a window of the last four bytes rather than the whole text.
    const std::size_t base = at > 4 ? at - 4 : 0;
    std::int32_t i = static_cast<std::int32_t>(at - base);
    UChar32 c;
    U8_PREV(bytes + base, 0, i, c);
    at = base + static_cast<std::size_t>(i);
    const Context context = classify(c);
    if (context != Context::kSkip) return context == Context::kCased;
  }
  return false;
}

bool cased_after(const std::uint8_t* bytes, std::size_t size, std::size_t at) {
  while (at < size) {
    UChar32 c;
    U8_NEXT(bytes, at, size, c);
    const Context context = classify(c);
    if (context != Context::kSkip) return context == Context::kCased;
  }
  return false;
}

}  // namespace

bool is_final_sigma(std::string_view text, std::size_t at) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  return cased_before(bytes, at) && !cased_after(bytes, text.size(), at + kCapitalSigma.size());
}

}  // namespace vesko
