#include "models/tree_value.h"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "common/utf8.h"

namespace vesko {
namespace {

constexpr std::string_view kAnyJson = "any valid JSON value";

// The first key of a map decides that the map is an object and must be a
// MessagePack string; later keys are read as text, so binary data holding
// UTF-8 is accepted there. The asymmetry is what earlier releases accepted.
bool read_key(MsgpackReader& reader, bool first, std::string_view& key) {
  Marker m;
  if (!reader.read_marker(m)) return false;
  if (is_str_marker(m.kind)) return reader.read_str(m, key);
  if (first) return reader.fail_invalid_type(m, "a string key");
  if (is_bin_marker(m.kind)) {
    if (!reader.read_raw(m, key)) return false;
    if (!is_valid_utf8(key)) return reader.fail_invalid_value("byte array", "a string");
    return true;
  }
  return reader.fail_invalid_type(m, "a string");
}

bool decode_array(MsgpackReader& reader, Marker m, nlohmann::json& out) {
  std::uint32_t len = 0;
  if (!reader.read_length(m, len) || !reader.enter()) return false;
  out = nlohmann::json::array();
  auto& elements = out.get_ref<nlohmann::json::array_t&>();
  elements.reserve(reader.presize(len, sizeof(nlohmann::json)));
  for (std::uint32_t i = 0; i < len; ++i) {
    Marker element;
    if (!reader.read_marker(element) || !decode_value(reader, element, elements.emplace_back())) {
      return false;
    }
  }
  reader.leave();
  return true;
}

bool decode_object(MsgpackReader& reader, Marker m, nlohmann::json& out) {
  std::uint32_t entries = 0;
  if (!reader.read_length(m, entries) || !reader.enter()) return false;
  out = nlohmann::json::object();
  auto& object = out.get_ref<nlohmann::json::object_t&>();
  for (std::uint32_t e = 0; e < entries; ++e) {
    std::string_view key;
    Marker value_marker;
    nlohmann::json value;
    if (!read_key(reader, e == 0, key) || !reader.read_marker(value_marker) ||
        !decode_value(reader, value_marker, value)) {
      return false;
    }
    object.insert_or_assign(std::string(key), std::move(value));
  }
  reader.leave();
  return true;
}

}  // namespace

bool decode_value(MsgpackReader& reader, Marker m, nlohmann::json& out) {
  const MarkerKind k = m.kind;
  if (k == MarkerKind::kNull) {
    out = nullptr;
    return true;
  }
  if (k == MarkerKind::kTrue || k == MarkerKind::kFalse) {
    out = k == MarkerKind::kTrue;
    return true;
  }
  if (is_unsigned_marker(k)) {
    std::uint64_t v = 0;
    if (!reader.read_unsigned(m, v)) return false;
    out = v;
    return true;
  }
  if (is_signed_marker(k)) {
    std::int64_t v = 0;
    if (!reader.read_signed(m, v)) return false;
    if (v >= 0) {
      out = static_cast<std::uint64_t>(v);
    } else {
      out = v;
    }
    return true;
  }
  if (is_float_marker(k)) {
    double v = 0;
    if (!reader.read_float(m, v)) return false;
    // A JSON number cannot hold NaN or an infinity; such a value reads as
    // null, so a NaN leaf is simply absent.
    if (std::isfinite(v)) {
      out = v;
    } else {
      out = nullptr;
    }
    return true;
  }
  if (is_str_marker(k)) {
    std::string_view text;
    if (!reader.read_str(m, text)) return false;
    out = std::string(text);
    return true;
  }
  if (is_array_marker(k)) return decode_array(reader, m, out);
  if (is_map_marker(k)) return decode_object(reader, m, out);
  return reader.fail_invalid_type(m, kAnyJson);
}

bool value_from_byte(MsgpackReader&, std::uint8_t byte, nlohmann::json& out) {
  out = std::uint64_t{byte};
  return true;
}

}  // namespace vesko
