#include "common/lowercase.h"

#include <unicode/ucasemap.h>

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>

#include "common/final_sigma.h"

namespace vesko {
namespace {

// ICU takes 32-bit lengths, and one call's output buffer is sized half as
// large again as its input; whitespace-free pieces longer than this go to ICU
// in several calls. Far below 2^31, small enough that one call's spare output
// room stays small beside gigabytes of text, and far longer than any real word.
constexpr std::size_t kMaxIcuPiece = std::size_t{64} << 20;

struct CaseMapCloser {
  void operator()(UCaseMap* map) const { ucasemap_close(map); }
};

[[noreturn]] void throw_icu_failure(UErrorCode status) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  throw std::runtime_error("ICU lower-casing failed");
}

UCaseMap* thread_case_map() {
  thread_local std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    // "" is the root locale; a null locale would follow the environment and
    // turn a Turkish "I" into a dotless i.
    UCaseMap* created = ucasemap_open("", 0, &status);
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    if (U_FAILURE(status)) throw std::runtime_error("cannot open the ICU case map");
    return std::unique_ptr<UCaseMap, CaseMapCloser>(created);
  }();
  return map.get();
}

bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Appends the ICU lower-casing of one whitespace-free piece that holds
// non-ASCII characters and is at most kMaxIcuPiece bytes long. Inlined into
// the loop over the pieces, which is the hot path.
[[gnu::always_inline]] inline void append_lower_unicode(std::string& out, std::string_view piece) {
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
    if (U_FAILURE(status)) throw_icu_failure(status);
    out.resize(start + static_cast<std::size_t>(length));
    return;
  }
  throw std::runtime_error("ICU lower-casing failed");
}

// The last position at or before `pos` (inside `text`, at least three bytes
// after the start) that splits no character. A UTF-8 sequence is at most four
// bytes long, so a continuation byte with three more before it belongs to no
// sequence that starts before it and may be cut before (only ill-formed text
// has one).
std::size_t boundary_at_or_before(std::string_view text, std::size_t pos) {
  for (std::size_t back = 0; back < 4; ++back) {
    if (!is_continuation(text[pos - back])) return pos - back;
  }
  return pos;
}

// Lower-cases a whitespace-free piece too long for one ICU call. In the root
// locale the only mapping that depends on context is the capital sigma's, so a
// stretch without one maps character by character and may be cut at any
// character boundary, while a sigma's context may reach across any number of
// case-ignorable characters (a sigma followed by a gigabyte of combining marks)
// and no cut near it need be safe. So each stretch between capital sigmas goes
// to ICU in pieces, and each sigma is decided here. A sigma's scans stop at the
// first character that is not case-ignorable, which the neighbouring sigmas
// are, so each byte is read by at most two scans and the whole stays linear.
[[gnu::noinline]] void append_lower_long(std::string& out, std::string_view piece,
                                         std::size_t max_piece) {
  // Room for an output as long as the piece and one call's spare capacity, so
  // that a piece that does not grow is never copied to a larger buffer midway.
  out.reserve(out.size() + piece.size() + max_piece / 2 + 16);
  std::size_t start = 0;
  while (start < piece.size()) {
    const std::size_t sigma = std::min(piece.find(kCapitalSigma, start), piece.size());
    while (sigma - start > max_piece) {
      const std::size_t cut = boundary_at_or_before(piece, start + max_piece);
      append_lower_unicode(out, piece.substr(start, cut - start));
      start = cut;
    }
    if (start < sigma) append_lower_unicode(out, piece.substr(start, sigma - start));
    if (sigma == piece.size()) break;
    out += is_final_sigma(piece, sigma) ? kSmallFinalSigma : kSmallSigma;
    start = sigma + kCapitalSigma.size();
  }
}

// Inlined into both callers, so that to_lower's limit is a constant.
[[gnu::always_inline]] inline std::string lower_in_pieces(std::string_view text,
                                                          std::size_t max_piece) {
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
      // Written through a pointer rather than pushed back, which leaves the
      // compiler no string bookkeeping per character in the hottest loop.
      const std::size_t at = out.size();
      out.resize(at + (end - i));
      char* lowered = out.data() + at;
      for (std::size_t k = i; k < end; ++k) {
        unsigned char c = bytes[k];
        *lowered++ = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      }
    } else if (end - i <= max_piece) {
      append_lower_unicode(out, text.substr(i, end - i));
    } else {
      append_lower_long(out, text.substr(i, end - i), max_piece);
    }
    i = end;
  }
  return out;
}

}  // namespace

std::string to_lower(std::string_view text) { return lower_in_pieces(text, kMaxIcuPiece); }

std::string to_lower_in_pieces(std::string_view text, std::size_t max_piece) {
  return lower_in_pieces(text, std::max<std::size_t>(max_piece, 4));
}

}  // namespace vesko
