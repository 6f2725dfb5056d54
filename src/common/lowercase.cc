#include "common/lowercase.h"

#include <unicode/ucasemap.h>

#include <memory>
#include <stdexcept>

namespace vesko {
namespace {

struct CaseMapCloser {
  void operator()(UCaseMap* map) const { ucasemap_close(map); }
};

UCaseMap* thread_case_map() {
  thread_local std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    // "" is the root locale; a null locale would follow the environment and
    // turn a Turkish "I" into a dotless i.
    UCaseMap* created = ucasemap_open("", 0, &status);
    if (U_FAILURE(status)) throw std::runtime_error("cannot open the ICU case map");
    return std::unique_ptr<UCaseMap, CaseMapCloser>(created);
  }();
  return map.get();
}

bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Appends the ICU lower-casing of one whitespace-free piece that holds
// non-ASCII characters.
void append_lower_unicode(std::string& out, std::string_view piece) {
  UCaseMap* map = thread_case_map();
  const std::size_t start = out.size();
  // Lower-casing grows text by at most half (U+0130 and U+023A go from two
  // bytes to three); start with room for that and retry with ICU's own figure.
  std::size_t capacity = piece.size() * 3 / 2 + 16;
  for (int attempt = 0; attempt < 2; ++attempt) {
    out.resize(start + capacity);
    UErrorCode status = U_ZERO_ERROR;
    int32_t length =
        ucasemap_utf8ToLower(map, out.data() + start, static_cast<int32_t>(capacity), piece.data(),
                             static_cast<int32_t>(piece.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      capacity = static_cast<std::size_t>(length);
      continue;
    }
    if (U_FAILURE(status)) throw std::runtime_error("ICU lower-casing failed");
    out.resize(start + static_cast<std::size_t>(length));
    return;
  }
  throw std::runtime_error("ICU lower-casing failed");
}

}  // namespace

std::string to_lower(std::string_view text) {
  // ASCII is lower-cased by hand; ICU sees only whitespace-delimited pieces
  // that hold non-ASCII bytes. ASCII whitespace is neither cased nor
  // case-ignorable, so the Final_Sigma context never reaches across it and
  // piecewise lower-casing gives the same bytes as one ICU call on the text.
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    if (is_ascii_space(bytes[i])) {
      out.push_back(static_cast<char>(bytes[i]));
      ++i;
      continue;
    }
    std::size_t end = i;
    bool ascii = true;
    while (end < size && !is_ascii_space(bytes[end])) {
      ascii &= bytes[end] < 0x80;
      ++end;
    }
    if (ascii) {
      for (std::size_t k = i; k < end; ++k) {
        unsigned char c = bytes[k];
        out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c));
      }
    } else {
      append_lower_unicode(out, text.substr(i, end - i));
    }
    i = end;
  }
  return out;
}

}  // namespace vesko
