#include "common/char_classes.h"

#include <unicode/uchar.h>
#include <unicode/uset.h>

#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

namespace vesko {
namespace {

constexpr std::size_t kCodePoints = 0x110000;
constexpr std::size_t kBlockSize = 256;

// The White_Space property, spelled out: the features must split words on
// exactly these, whatever the Unicode version of the library at hand.
constexpr char32_t kWhiteSpace[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,
                                    0xA0,   0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                    0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                    0x2029, 0x202F, 0x205F, 0x3000};
constexpr char32_t kZeroWidth[] = {0x200B, 0x200C, 0x200D, 0xFEFF};

void mark_property(std::vector<std::uint8_t>& flat, UProperty property, std::uint8_t bit) {
  UErrorCode status = U_ZERO_ERROR;
  const USet* set = u_getBinaryPropertySet(property, &status);
  if (U_FAILURE(status)) throw std::runtime_error("ICU property data is unavailable");
  const int32_t items = uset_getItemCount(set);
  for (int32_t k = 0; k < items; ++k) {
    UChar32 start = 0;
    UChar32 end = 0;
    status = U_ZERO_ERROR;
    // A binary property set holds ranges only, never strings.
    if (uset_getItem(set, k, &start, &end, nullptr, 0, &status) != 0) continue;
    for (UChar32 c = start; c <= end; ++c) flat[static_cast<std::size_t>(c)] |= bit;
  }
}

bool is_word(UChar32 c) {
  constexpr std::uint32_t kWordCategories =
      U_GC_MN_MASK | U_GC_MC_MASK | U_GC_ME_MASK | U_GC_ND_MASK | U_GC_PC_MASK;
  return c == 0x200C || c == 0x200D || u_hasBinaryProperty(c, UCHAR_ALPHABETIC) ||
         (U_GET_GC_MASK(c) & kWordCategories) != 0;
}

UBool mark_numeric(const void* context, UChar32 start, UChar32 limit, UCharCategory type) {
  if (type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER) {
    auto& flat = *static_cast<std::vector<std::uint8_t>*>(const_cast<void*>(context));
    for (UChar32 c = start; c < limit; ++c) flat[static_cast<std::size_t>(c)] |= kCharNumeric;
  }
  return true;
}

}  // namespace

CharClassTable::CharClassTable() {
  std::vector<std::uint8_t> flat(kCodePoints, 0);
  mark_property(flat, UCHAR_UPPERCASE, kCharUppercase);
  mark_property(flat, UCHAR_LOWERCASE, kCharLowercase);
  u_enumCharTypes(mark_numeric, &flat);
  for (UChar32 c = 0; c < static_cast<UChar32>(kCodePoints); ++c) {
    if (is_word(c)) flat[static_cast<std::size_t>(c)] |= kCharWord;
  }
  // ASCII is defined by hand; Unicode agrees, but the classes are meant as
  // 'A'-'Z', 'a'-'z' and '0'-'9' whatever the property data says.
  for (char32_t c = 0; c < 0x80; ++c) {
    std::uint8_t bits = 0;
    if (c >= 'A' && c <= 'Z') bits = kCharUppercase | kCharWord;
    if (c >= 'a' && c <= 'z') bits = kCharLowercase | kCharWord;
    if (c >= '0' && c <= '9') bits = kCharNumeric | kCharWord;
    if (c == '_') bits = kCharWord;
    flat[c] = bits;
  }
  for (char32_t c : kWhiteSpace) flat[c] |= kCharWhiteSpace;
  for (char32_t c : kZeroWidth) flat[c] |= kCharZeroWidth;

  // Most blocks are alike (unassigned planes, CJK ideographs); share them.
  block_of_.resize(kCodePoints / kBlockSize);
  std::map<std::string, std::uint16_t> seen;
  for (std::size_t block = 0; block < block_of_.size(); ++block) {
    std::string key(reinterpret_cast<const char*>(flat.data() + block * kBlockSize), kBlockSize);
    auto [it, inserted] = seen.emplace(key, static_cast<std::uint16_t>(seen.size()));
    if (inserted) blocks_.insert(blocks_.end(), key.begin(), key.end());
    block_of_[block] = it->second;
  }
}

const CharClassTable& CharClassTable::instance() {
  static const CharClassTable table;
  return table;
}

}  // namespace vesko
