#include "features/pattern_scan.h"

#include <unicode/uchar.h>

#include <array>
#include <cstring>

#include "common/char_classes.h"

namespace vesko {
namespace {

const unsigned char* bytes_of(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

constexpr bool is_base64_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool is_ascii_letter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_ascii_white_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The end of the run of characters that are not White_Space starting at `i`.
std::size_t end_of_non_space(std::string_view text, std::size_t i) {
  const unsigned char* bytes = bytes_of(text);
  const CharClassTable& table = CharClassTable::instance();
  while (i < text.size()) {
    unsigned char b = bytes[i];
    if (b < 0x80) {
      if (is_ascii_white_space(b)) break;
      ++i;
      continue;
    }
    std::size_t next = i;
    char32_t c = next_code_point(bytes, text.size(), next);
    if (table.classes(c) & kCharWhiteSpace) break;
    i = next;
  }
  return i;
}

}  // namespace

std::size_t count_html_tags(std::string_view text) {
  // A match starts at a '<' and runs to the first '>' after it, which must
  // not follow at once ([^>] also matches '<'). With no '>' left, nothing
  // further can match.
  std::size_t count = 0;
  std::size_t pos = 0;
  while (true) {
    std::size_t open = text.find('<', pos);
    if (open == std::string_view::npos) break;
    std::size_t close = text.find('>', open + 1);
    if (close == std::string_view::npos) break;
    if (close == open + 1) {
      pos = open + 1;
      continue;
    }
    ++count;
    pos = close + 1;
  }
  return count;
}

std::size_t base64_match_bytes(std::string_view text) {
  // The leftmost match starts a maximal run of at least 20 alphabet bytes,
  // takes all of it, then up to two '='. Any run of 20 that starts in
  // [i, i + 19] covers byte i + 19, so when that byte is outside the alphabet
  // the scan jumps 20 bytes at once: ordinary words never get that long.
  static constexpr auto kAlphabet = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = is_base64_char(static_cast<unsigned char>(c));
    return table;
  }();
  const unsigned char* bytes = bytes_of(text);
  const std::size_t size = text.size();
  std::size_t total = 0;
  std::size_t i = 0;
  while (i + 20 <= size) {
    if (!kAlphabet[bytes[i + 19]]) {
      i += 20;
      continue;
    }
    // Nothing before i can start a run reaching i + 19: either i follows a
    // byte outside the alphabet, or the previous match ended right there.
    std::size_t start = i + 19;
    while (start > i && kAlphabet[bytes[start - 1]]) --start;
    std::size_t end = i + 20;
    while (end < size && kAlphabet[bytes[end]]) ++end;
    if (end - start < 20) {
      i = end + 1;  // bytes[end] is outside the alphabet
      continue;
    }
    std::size_t padding = 0;
    while (padding < 2 && end < size && bytes[end] == '=') {
      ++end;
      ++padding;
    }
    total += end - start;
    i = end;
  }
  return total;
}

std::size_t count_html_entities(std::string_view text) {
  const unsigned char* bytes = bytes_of(text);
  const std::size_t size = text.size();
  std::size_t count = 0;
  std::size_t pos = 0;
  while (true) {
    std::size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) break;
    std::size_t i = amp + 1;
    std::size_t body_start = i;
    if (i < size && bytes[i] == '#') {
      body_start = ++i;
      while (i < size) {
        std::size_t next = i;
        char32_t c = next_code_point(bytes, size, next);
        bool digit = c < 0x80 ? (c >= '0' && c <= '9')
                              : (c != kInvalidCodePoint &&
                                 u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER);
        if (!digit) break;
        i = next;
      }
    } else {
      while (i < size && is_ascii_letter(bytes[i])) ++i;
    }
    if (i > body_start && i < size && bytes[i] == ';') {
      ++count;
      pos = i + 1;
    } else {
      pos = amp + 1;
    }
  }
  return count;
}

std::size_t count_urls(std::string_view text) {
  // The leftmost match starts at the first "http://", "https://" or "www."
  // that is followed by at least one character that is not White_Space, and
  // runs to the next White_Space character.
  const std::size_t size = text.size();
  std::size_t count = 0;
  std::size_t pos = 0;
  std::size_t next_http = text.find("http", pos);
  std::size_t next_www = text.find("www.", pos);
  while (next_http != std::string_view::npos || next_www != std::string_view::npos) {
    const bool http_first = next_http < next_www;
    const std::size_t start = http_first ? next_http : next_www;
    std::size_t body = std::string_view::npos;
    if (http_first) {
      std::string_view rest = text.substr(start + 4);
      if (rest.starts_with("://")) {
        body = start + 7;
      } else if (rest.starts_with("s://")) {
        body = start + 8;
      }
    } else {
      body = start + 4;
    }
    std::size_t end = body == std::string_view::npos ? body : end_of_non_space(text, body);
    if (body != std::string_view::npos && end > body) {
      ++count;
      pos = end;
    } else {
      pos = start + 1;
    }
    if (pos >= size) break;
    if (next_http != std::string_view::npos && next_http < pos) next_http = text.find("http", pos);
    if (next_www != std::string_view::npos && next_www < pos) next_www = text.find("www.", pos);
  }
  return count;
}

std::size_t count_repeated_punct(std::string_view text) {
  const unsigned char* bytes = bytes_of(text);
  const std::size_t size = text.size();
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < size) {
    if (bytes[i] != '!' && bytes[i] != '?') {
      ++i;
      continue;
    }
    std::size_t start = i;
    while (i < size && (bytes[i] == '!' || bytes[i] == '?')) ++i;
    if (i - start >= 2) ++count;
  }
  return count;
}

}  // namespace vesko
