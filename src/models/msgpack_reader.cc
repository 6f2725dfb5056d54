#include "models/msgpack_reader.h"

#include <array>
#include <bit>
#include <utility>

#include "common/number_format.h"
#include "common/utf8.h"

namespace vesko {
namespace {

constexpr std::array<MarkerKind, 256> build_marker_table() {
  std::array<MarkerKind, 256> table{};
  using K = MarkerKind;
  for (int b = 0x00; b <= 0x7f; ++b) table[b] = K::kFixPos;
  for (int b = 0x80; b <= 0x8f; ++b) table[b] = K::kFixMap;
  for (int b = 0x90; b <= 0x9f; ++b) table[b] = K::kFixArray;
  for (int b = 0xa0; b <= 0xbf; ++b) table[b] = K::kFixStr;
  for (int b = 0xe0; b <= 0xff; ++b) table[b] = K::kFixNeg;
  constexpr K kFrom0xc0[] = {
      K::kNull,    K::kReserved, K::kFalse,   K::kTrue,     K::kBin8, K::kBin16, K::kBin32,
      K::kExt8,    K::kExt16,    K::kExt32,   K::kF32,      K::kF64,  K::kU8,    K::kU16,
      K::kU32,     K::kU64,      K::kI8,      K::kI16,      K::kI32,  K::kI64,   K::kFixExt1,
      K::kFixExt2, K::kFixExt4,  K::kFixExt8, K::kFixExt16, K::kStr8, K::kStr16, K::kStr32,
      K::kArray16, K::kArray32,  K::kMap16,   K::kMap32};
  for (int i = 0; i < 32; ++i) table[0xc0 + i] = kFrom0xc0[i];
  return table;
}

constexpr std::array<MarkerKind, 256> kMarkerTable = build_marker_table();

constexpr std::string_view kMarkerNames[] = {
    "FixPos",   "FixNeg", "Null",  "True",  "False",   "U8",      "U16",      "U32",
    "U64",      "I8",     "I16",   "I32",   "I64",     "F32",     "F64",      "FixStr",
    "Str8",     "Str16",  "Str32", "Bin8",  "Bin16",   "Bin32",   "FixArray", "Array16",
    "Array32",  "FixMap", "Map16", "Map32", "FixExt1", "FixExt2", "FixExt4",  "FixExt8",
    "FixExt16", "Ext8",   "Ext16", "Ext32", "Reserved"};

}  // namespace

Marker classify_marker(std::uint8_t byte) { return Marker{kMarkerTable[byte], byte}; }

std::string marker_name(Marker marker) {
  std::string name(kMarkerNames[static_cast<int>(marker.kind)]);
  int number;
  switch (marker.kind) {
    case MarkerKind::kFixPos:
      number = marker.byte;
      break;
    case MarkerKind::kFixNeg:
      number = static_cast<std::int8_t>(marker.byte);
      break;
    case MarkerKind::kFixStr:
      number = marker.byte & 0x1f;
      break;
    case MarkerKind::kFixArray:
    case MarkerKind::kFixMap:
      number = marker.byte & 0x0f;
      break;
    default:
      return name;
  }
  return name + "(" + std::to_string(number) + ")";
}

std::string describe_integer(std::uint64_t value) {
  return "integer `" + std::to_string(value) + "`";
}

std::string describe_integer(std::int64_t value) {
  return "integer `" + std::to_string(value) + "`";
}

std::string describe_float(double value) {
  return "floating point `" + format_with_decimal_point(value) + "`";
}

std::string describe_bool(bool value) { return value ? "boolean `true`" : "boolean `false`"; }

std::string quote_string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    unsigned code = c;
    // C1 controls arrive as two bytes, C2 80 to C2 9F; the text is valid UTF-8.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      code = static_cast<unsigned char>(text[i + 1]);
    }
    switch (code) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) {
      out += "\\u{";
      if (code >= 0x10) out.push_back(kHex[code >> 4]);
      out.push_back(kHex[code & 0xF]);
      out.push_back('}');
      if (code >= 0x80) ++i;  // the second byte of the C1 pair
      continue;
    }
    out.push_back(static_cast<char>(c));
  }
  out.push_back('"');
  return out;
}

std::string describe_string(std::string_view text) { return "string " + quote_string(text); }

bool MsgpackReader::read_unsigned(Marker m, std::uint64_t& out) {
  switch (m.kind) {
    case MarkerKind::kFixPos:
      out = m.byte;
      return true;
    case MarkerKind::kU8: {
      std::uint8_t v = 0;
      if (!read_be(v)) return false;
      out = v;
      return true;
    }
    case MarkerKind::kU16: {
      std::uint16_t v = 0;
      if (!read_be(v)) return false;
      out = v;
      return true;
    }
    case MarkerKind::kU32: {
      std::uint32_t v = 0;
      if (!read_be(v)) return false;
      out = v;
      return true;
    }
    default:
      return read_be(out);
  }
}

bool MsgpackReader::read_signed(Marker m, std::int64_t& out) {
  switch (m.kind) {
    case MarkerKind::kFixNeg:
      out = static_cast<std::int8_t>(m.byte);
      return true;
    case MarkerKind::kI8: {
      std::uint8_t v = 0;
      if (!read_be(v)) return false;
      out = static_cast<std::int8_t>(v);
      return true;
    }
    case MarkerKind::kI16: {
      std::uint16_t v = 0;
      if (!read_be(v)) return false;
      out = static_cast<std::int16_t>(v);
      return true;
    }
    case MarkerKind::kI32: {
      std::uint32_t v = 0;
      if (!read_be(v)) return false;
      out = static_cast<std::int32_t>(v);
      return true;
    }
    default: {
      std::uint64_t v = 0;
      if (!read_be(v)) return false;
      out = static_cast<std::int64_t>(v);
      return true;
    }
  }
}

bool MsgpackReader::read_float(Marker m, double& out) {
  if (m.kind == MarkerKind::kF32) {
    std::uint32_t bits = 0;
    if (!read_be(bits)) return false;
    out = static_cast<double>(std::bit_cast<float>(bits));
    return true;
  }
  std::uint64_t bits = 0;
  if (!read_be(bits)) return false;
  out = std::bit_cast<double>(bits);
  return true;
}

bool MsgpackReader::read_length(Marker m, std::uint32_t& out) {
  switch (m.kind) {
    case MarkerKind::kFixStr:
      out = m.byte & 0x1f;
      return true;
    case MarkerKind::kFixArray:
    case MarkerKind::kFixMap:
      out = m.byte & 0x0f;
      return true;
    case MarkerKind::kFixExt1:
      out = 1;
      return true;
    case MarkerKind::kFixExt2:
      out = 2;
      return true;
    case MarkerKind::kFixExt4:
      out = 4;
      return true;
    case MarkerKind::kFixExt8:
      out = 8;
      return true;
    case MarkerKind::kFixExt16:
      out = 16;
      return true;
    case MarkerKind::kStr8:
    case MarkerKind::kBin8:
    case MarkerKind::kExt8: {
      std::uint8_t v = 0;
      if (!read_be(v)) return false;
      out = v;
      return true;
    }
    case MarkerKind::kStr16:
    case MarkerKind::kBin16:
    case MarkerKind::kArray16:
    case MarkerKind::kMap16:
    case MarkerKind::kExt16: {
      std::uint16_t v = 0;
      if (!read_be(v)) return false;
      out = v;
      return true;
    }
    default:
      return read_be(out);
  }
}

bool MsgpackReader::read_str(Marker m, std::string_view& out) {
  if (!read_raw(m, out)) return false;
  if (std::optional<Utf8Error> error = find_utf8_error(out)) [[unlikely]] {
    return fail("string found to be invalid utf8: " + describe_utf8_error(*error));
  }
  return true;
}

bool MsgpackReader::skip(Marker m) {
  const MarkerKind k = m.kind;
  if (is_unsigned_marker(k)) {
    std::uint64_t v = 0;
    return read_unsigned(m, v);
  }
  if (is_signed_marker(k)) {
    std::int64_t v = 0;
    return read_signed(m, v);
  }
  if (is_float_marker(k)) {
    double v = 0;
    return read_float(m, v);
  }
  if (is_str_marker(k) || is_bin_marker(k)) {
    std::string_view body;
    return read_raw(m, body);
  }
  std::uint32_t len = 0;
  if (is_array_marker(k) || is_map_marker(k)) {
    if (!read_length(m, len) || !enter()) return false;
    const std::uint64_t items = is_map_marker(k) ? 2ULL * len : len;
    for (std::uint64_t i = 0; i < items; ++i) {
      Marker inner;
      if (!read_marker(inner) || !skip(inner)) return false;
    }
    leave();
    return true;
  }
  if (is_ext_marker(k)) {
    std::uint8_t type = 0;
    std::string_view body;
    if (!read_length(m, len) || !enter() || !read_be(type) || !read_body(len, body)) return false;
    leave();
    return true;
  }
  if (k == MarkerKind::kReserved) return fail_wrong_marker(m);
  return true;  // nil, true, false
}

bool MsgpackReader::fail(std::string message) {
  error_ = std::move(message);
  return false;
}

bool MsgpackReader::fail_invalid_type(Marker m, std::string_view expected) {
  const MarkerKind k = m.kind;
  std::string description;
  if (k == MarkerKind::kNull) {
    description = "unit value";
  } else if (k == MarkerKind::kTrue || k == MarkerKind::kFalse) {
    description = describe_bool(k == MarkerKind::kTrue);
  } else if (is_unsigned_marker(k)) {
    std::uint64_t v = 0;
    if (!read_unsigned(m, v)) return false;
    description = describe_integer(v);
  } else if (is_signed_marker(k)) {
    std::int64_t v = 0;
    if (!read_signed(m, v)) return false;
    description = describe_integer(v);
  } else if (is_float_marker(k)) {
    double v = 0;
    if (!read_float(m, v)) return false;
    description = describe_float(v);
  } else if (is_str_marker(k)) {
    std::string_view text;
    if (!read_str(m, text)) return false;
    description = describe_string(text);
  } else if (is_bin_marker(k)) {
    std::string_view body;
    if (!read_raw(m, body)) return false;
    description = "byte array";
  } else if (k == MarkerKind::kReserved) {
    return fail_wrong_marker(m);
  } else {
    // Containers and extensions are entered before their visitor refuses
    // them, so their level counts; their contents are never read.
    std::uint32_t len = 0;
    if (!read_length(m, len) || !enter()) return false;
    description = is_array_marker(k) ? "sequence" : is_map_marker(k) ? "map" : "newtype struct";
  }
  return fail("invalid type: " + description + ", expected " + std::string(expected));
}

bool MsgpackReader::fail_invalid_value(std::string_view description, std::string_view expected) {
  return fail("invalid value: " + std::string(description) + ", expected " + std::string(expected));
}

bool MsgpackReader::fail_wrong_marker(Marker m) {
  return fail("wrong msgpack marker " + marker_name(m));
}

bool MsgpackReader::fail_marker_eof() {
  return fail("IO error while reading marker: failed to fill whole buffer");
}

bool MsgpackReader::fail_data_eof() {
  return fail("IO error while reading data: failed to fill whole buffer");
}

bool MsgpackReader::fail_body_eof() {
  return fail("IO error while reading data: unexpected end of file");
}

}  // namespace vesko
