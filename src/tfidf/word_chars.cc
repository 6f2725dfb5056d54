#include "tfidf/word_chars.h"

#include <unicode/uchar.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace vesko {
namespace {

bool icu_is_word(UChar32 c) {
  constexpr std::uint32_t kWordCategories =
      U_GC_MN_MASK | U_GC_MC_MASK | U_GC_ME_MASK | U_GC_ND_MASK | U_GC_PC_MASK;
  return c == 0x200C || c == 0x200D || u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
         (U_GET_GC_MASK(c) & kWordCategories) != 0;
}

}  // namespace

WordCharTable::WordCharTable() {
  std::memset(bits_, 0, sizeof bits_);
  for (UChar32 c = 0; c < static_cast<UChar32>(kCodePoints); ++c) {
    if (icu_is_word(c)) bits_[c >> 6] |= std::uint64_t{1} << (c & 63);
  }
  for (int b = 0; b < 256; ++b) {
    if (b >= 0x80) {
      byte_class_[b] = ByteClass::kNonAscii;
    } else {
      byte_class_[b] = is_word(static_cast<char32_t>(b)) ? ByteClass::kWord : ByteClass::kOther;
    }
  }
}

const WordCharTable& WordCharTable::instance() {
  static std::once_flag once;
  static std::unique_ptr<WordCharTable> table;
  std::call_once(once, [] { table.reset(new WordCharTable()); });
  return *table;
}

}  // namespace vesko
