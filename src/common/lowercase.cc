#include "common/lowercase.h"

#include <unicode/ucasemap.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "common/byte_block.h"
#include "common/final_sigma.h"

namespace vesko {
namespace {

// ICU takes 32-bit lengths; whitespace-free pieces longer than this go to ICU
// in several calls. Far below 2^31 and far longer than any real word.
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

char lower_ascii_byte(unsigned char c) {
  return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
}

// Lower-cases the ASCII bytes at the start of `in` (`n` bytes) into `out` and
// returns how many there are: up to the first byte >= 0x80, or `n`. `out`
// must have room for `n` bytes; the bytes past the returned count may be
// overwritten with scratch.
std::size_t lower_ascii_prefix(const unsigned char* in, std::size_t n, char* out) {
  std::size_t k = 0;
  // Whole blocks are stored, the bytes from the first one >= 0x80 on too:
  // they are scratch.
  for (; k + kBlockBytes <= n; k += kBlockBytes) {
    const ByteBlock b = ByteBlock::load(in + k);
    b.with_bits_where(b.in_range('A', 'Z'), 0x20).store(reinterpret_cast<unsigned char*>(out + k));
    const std::uint32_t high = b.non_ascii_bits();
    if (high != 0) return k + static_cast<std::size_t>(std::countr_zero(high));
  }
  for (; k < n && in[k] < 0x80; ++k) out[k] = lower_ascii_byte(in[k]);
  return k;
}

// The lower-cased text under construction. The buffer stays at least as long
// as the bytes written plus the input bytes not yet read, which is all that
// ASCII needs, so ASCII is written through a pointer with no check. Only ICU's
// output can outgrow that, and then the buffer grows by at least an eighth:
// lower-casing grows text by at most half, so it grows a bounded number of
// times, and text that does not grow is never reallocated at all.
class LowerOutput {
 public:
  explicit LowerOutput(std::size_t input_size) { buffer_.resize(input_size); }

  char* end() { return buffer_.data() + size_; }
  std::size_t room() const { return buffer_.size() - size_; }
  void advance(std::size_t bytes) { size_ += bytes; }
  void take_back(std::size_t bytes) { size_ -= bytes; }

  void make_room(std::size_t bytes) {
    if (room() >= bytes) return;
    buffer_.resize(std::max(size_ + bytes, buffer_.size() + buffer_.size() / 8));
  }

  void append(std::string_view bytes) {
    make_room(bytes.size());
    std::memcpy(end(), bytes.data(), bytes.size());
    advance(bytes.size());
  }

  std::string finish() && {
    buffer_.resize(size_);
    return std::move(buffer_);
  }

 private:
  std::string buffer_;
  std::size_t size_ = 0;
};

// Appends the ICU lower-casing of one whitespace-free piece of at most
// kMaxIcuPiece bytes that holds non-ASCII characters; `unread` input bytes
// follow it. ICU may use all the room there is, so it rarely has to be asked
// twice.
void append_lower_unicode(LowerOutput& out, std::string_view piece, std::size_t unread) {
  UCaseMap* map = thread_case_map();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto capacity = static_cast<int32_t>(
        std::min<std::size_t>(out.room(), std::numeric_limits<int32_t>::max()));
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucasemap_utf8ToLower(map, out.end(), capacity, piece.data(),
                                                static_cast<int32_t>(piece.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.make_room(static_cast<std::size_t>(length) + unread);
      continue;
    }
    if (U_FAILURE(status)) throw_icu_failure(status);
    out.advance(static_cast<std::size_t>(length));
    out.make_room(unread);
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

// Lower-cases a whitespace-free piece too long for one ICU call; `unread`
// input bytes follow it. In the root locale the only mapping that depends on
// context is the capital sigma's, so a stretch without one maps character by
// character and may be cut at any character boundary, while a sigma's context
// may reach across any number of case-ignorable characters (a sigma followed
// by a gigabyte of combining marks) and no cut near it need be safe. So each
// stretch between capital sigmas goes to ICU in pieces, and each sigma is
// decided here. A sigma's scans stop at the first character that is not
// case-ignorable, which the neighbouring sigmas are, so each byte is read by
// at most two scans and the whole stays linear.
[[gnu::noinline]] void append_lower_long(LowerOutput& out, std::string_view piece,
                                         std::size_t max_piece, std::size_t unread) {
  std::size_t start = 0;
  auto lower_up_to = [&](std::size_t cut) {
    append_lower_unicode(out, piece.substr(start, cut - start), piece.size() - cut + unread);
    start = cut;
  };
  while (start < piece.size()) {
    const std::size_t sigma = std::min(piece.find(kCapitalSigma, start), piece.size());
    while (sigma - start > max_piece) lower_up_to(boundary_at_or_before(piece, start + max_piece));
    if (start < sigma) lower_up_to(sigma);
    if (sigma == piece.size()) break;
    out.append(is_final_sigma(piece, sigma) ? kSmallFinalSigma : kSmallSigma);
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
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  LowerOutput out(size);
  std::size_t i = 0;
  for (;;) {
    const std::size_t run_start = i;
    const std::size_t ascii = lower_ascii_prefix(bytes + i, size - i, out.end());
    out.advance(ascii);
    i += ascii;
    if (i == size) break;
    // The piece around this non-ASCII byte goes to ICU whole, its ASCII start
    // (already written, one byte per byte) included: a sigma's context may
    // lie there.
    std::size_t begin = i;
    while (begin > run_start && !is_ascii_space(bytes[begin - 1])) --begin;
    out.take_back(i - begin);
    std::size_t end = i + 1;
    while (end < size && !is_ascii_space(bytes[end])) ++end;
    const std::string_view piece = text.substr(begin, end - begin);
    if (piece.size() <= max_piece) {
      append_lower_unicode(out, piece, size - end);
    } else {
      append_lower_long(out, piece, max_piece, size - end);
    }
    i = end;
  }
  return std::move(out).finish();
}

}  // namespace

std::string to_lower(std::string_view text) { return lower_in_pieces(text, kMaxIcuPiece); }

std::string to_lower_in_pieces(std::string_view text, std::size_t max_piece) {
  return lower_in_pieces(text, std::max<std::size_t>(max_piece, 4));
}

}  // namespace vesko
