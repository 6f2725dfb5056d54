// MsgpackReader: a bounds-checked forward cursor over one MessagePack value in
// memory, with the nesting budget and the error texts that model-file
// messages use. Every read checks the bytes left; no read ever goes past the
// end, so any byte string is safe to hand to it.
//
// Calls return false on failure and leave the message in error(); the first
// failure ends decoding, so callers only propagate the false. Not thread-safe;
// one reader per file.
#ifndef VESKO_MODELS_MSGPACK_READER_H_
#define VESKO_MODELS_MSGPACK_READER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace vesko {

// The order matters: related kinds are contiguous so that the is_*_marker
// tests below are range checks, and marker_name indexes its names by it.
enum class MarkerKind : std::uint8_t {
  kFixPos,
  kFixNeg,
  kNull,
  kTrue,
  kFalse,
  kU8,
  kU16,
  kU32,
  kU64,
  kI8,
  kI16,
  kI32,
  kI64,
  kF32,
  kF64,
  kFixStr,
  kStr8,
  kStr16,
  kStr32,
  kBin8,
  kBin16,
  kBin32,
  kFixArray,
  kArray16,
  kArray32,
  kFixMap,
  kMap16,
  kMap32,
  kFixExt1,
  kFixExt2,
  kFixExt4,
  kFixExt8,
  kFixExt16,
  kExt8,
  kExt16,
  kExt32,
  kReserved,
};

// One marker byte and its kind; the fix kinds carry their number in the byte.
struct Marker {
  MarkerKind kind;
  std::uint8_t byte;
};

Marker classify_marker(std::uint8_t byte);

inline bool is_unsigned_marker(MarkerKind k) {
  return k == MarkerKind::kFixPos || (k >= MarkerKind::kU8 && k <= MarkerKind::kU64);
}
inline bool is_signed_marker(MarkerKind k) {
  return k == MarkerKind::kFixNeg || (k >= MarkerKind::kI8 && k <= MarkerKind::kI64);
}
inline bool is_float_marker(MarkerKind k) { return k == MarkerKind::kF32 || k == MarkerKind::kF64; }
inline bool is_str_marker(MarkerKind k) {
  return k >= MarkerKind::kFixStr && k <= MarkerKind::kStr32;
}
inline bool is_bin_marker(MarkerKind k) {
  return k >= MarkerKind::kBin8 && k <= MarkerKind::kBin32;
}
inline bool is_array_marker(MarkerKind k) {
  return k >= MarkerKind::kFixArray && k <= MarkerKind::kArray32;
}
inline bool is_map_marker(MarkerKind k) {
  return k >= MarkerKind::kFixMap && k <= MarkerKind::kMap32;
}
inline bool is_ext_marker(MarkerKind k) {
  return k >= MarkerKind::kFixExt1 && k <= MarkerKind::kExt32;
}

// "FixPos(5)", "Str8", "FixArray(3)", "Reserved", ...
std::string marker_name(Marker marker);

// Descriptions of found values, as they appear after "invalid type: ".
std::string describe_integer(std::uint64_t value);
std::string describe_integer(std::int64_t value);
std::string describe_float(double value);            // "floating point `2.5`"
std::string describe_string(std::string_view text);  // "string \"a\\tb\""
std::string describe_bool(bool value);               // "boolean `true`"

// Double quotes, backslashes and control characters escaped with a backslash
// (\t \r \n \0, others as \u{hex}); the quotes around the text are included.
std::string quote_string(std::string_view text);

class MsgpackReader {
 public:
  // Containers open at once stay below this; the record itself is the first.
  static constexpr std::uint32_t kDepthLimit = 1024;
  // Declared counts are trusted for pre-sizing up to this many bytes.
  static constexpr std::size_t kPresizeBytes = std::size_t{1} << 20;
  static constexpr std::size_t kPresizeBudget = std::size_t{16} << 20;

  explicit MsgpackReader(std::span<const std::uint8_t> bytes)
      : pos_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  // The next marker; fails on end of input.
  bool read_marker(Marker& out) {
    if (pos_ == end_) [[unlikely]]
      return fail_marker_eof();
    out = classify_marker(*pos_++);
    return true;
  }

  // Payloads of number markers: FixPos/U8..U64, FixNeg/I8..I64, F32/F64.
  bool read_unsigned(Marker m, std::uint64_t& out);
  bool read_signed(Marker m, std::int64_t& out);
  bool read_float(Marker m, double& out);
  // The length that a str, bin, array, map or ext marker declares.
  bool read_length(Marker m, std::uint32_t& out);
  // `len` body bytes; fails with "unexpected end of file" when fewer are left.
  bool read_body(std::uint32_t len, std::string_view& out) {
    if (static_cast<std::size_t>(end_ - pos_) < len) [[unlikely]]
      return fail_body_eof();
    out = std::string_view(reinterpret_cast<const char*>(pos_), len);
    pos_ += len;
    return true;
  }
  // Length and body of a str or bin marker, without any UTF-8 check.
  bool read_raw(Marker m, std::string_view& out) {
    std::uint32_t len;
    return read_length(m, len) && read_body(len, out);
  }
  // Length and body of a str marker, which must be valid UTF-8.
  bool read_str(Marker m, std::string_view& out);

  // Takes one level of the nesting budget; fails with "depth limit exceeded".
  bool enter() {
    if (--depth_ == 0) [[unlikely]]
      return fail("depth limit exceeded");
    return true;
  }
  void leave() { ++depth_; }

  // Reads the rest of the value that `m` starts, any well-formed value within
  // the nesting budget, and drops it.
  bool skip(Marker m);

  // Failure helpers; all return false. fail_invalid_type reads as much of the
  // value as its description needs (a string body, a number, a container
  // header and one level), so truncation and depth errors come first.
  bool fail(std::string message);
  bool fail_invalid_type(Marker m, std::string_view expected);
  bool fail_invalid_value(std::string_view description, std::string_view expected);
  bool fail_wrong_marker(Marker m);

  // Elements worth pre-sizing for a declared count of `count` elements of
  // `element_size` bytes. A declared count is only a claim: each element
  // needs at least one input byte, one container gets at most kPresizeBytes,
  // and all containers of one decode together at most kPresizeBudget, so that
  // nested headers claiming huge counts cannot reserve memory that the input
  // could never fill. Beyond that, containers grow as elements arrive.
  std::size_t presize(std::uint32_t count, std::size_t element_size) {
    if (element_size == 0) element_size = 1;
    std::size_t n = count;
    if (n > remaining()) n = remaining();
    if (n > kPresizeBytes / element_size) n = kPresizeBytes / element_size;
    if (n > presize_budget_ / element_size) n = presize_budget_ / element_size;
    presize_budget_ -= n * element_size;
    return n;
  }

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }
  const std::string& error() const { return error_; }
  std::string take_error() { return std::move(error_); }

 private:
  template <typename T>
  bool read_be(T& out) {
    if (static_cast<std::size_t>(end_ - pos_) < sizeof(T)) [[unlikely]]
      return fail_data_eof();
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | pos_[i]);
    pos_ += sizeof(T);
    out = value;
    return true;
  }

  bool fail_marker_eof();
  bool fail_data_eof();
  bool fail_body_eof();

  const std::uint8_t* pos_;
  const std::uint8_t* end_;
  std::uint32_t depth_ = kDepthLimit;
  std::size_t presize_budget_ = kPresizeBudget;
  std::string error_;
};

}  // namespace vesko

#endif  // VESKO_MODELS_MSGPACK_READER_H_
