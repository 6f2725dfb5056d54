#include "models/record_decoder.h"

#include <algorithm>
#include <utility>

#include "common/utf8.h"

namespace vesko {
namespace {

bool is_nil_or_bool(MarkerKind k) {
  return k == MarkerKind::kNull || k == MarkerKind::kTrue || k == MarkerKind::kFalse;
}

bool fail_byte(MsgpackReader& reader, std::uint8_t byte, std::string_view expected) {
  return reader.fail("invalid type: " + describe_integer(std::uint64_t{byte}) + ", expected " +
                     std::string(expected));
}

// A text value as a view into the input: a string, or binary data holding
// valid UTF-8.
bool read_text(MsgpackReader& reader, Marker m, std::string_view& out) {
  if (is_str_marker(m.kind)) return reader.read_str(m, out);
  if (is_bin_marker(m.kind)) {
    if (!reader.read_raw(m, out)) return false;
    if (!is_valid_utf8(out)) return reader.fail_invalid_value("byte array", "a string");
    return true;
  }
  return reader.fail_invalid_type(m, "a string");
}

std::string struct_expectation(const RecordLayout& layout) {
  return "struct " + std::string(layout.name);
}

std::string array_expectation(const RecordLayout& layout) {
  return "struct " + std::string(layout.name) + " with " + std::to_string(layout.fields.size()) +
         " elements";
}

// Reads one map key and resolves it to a field index (the field count for a
// key that names no field).
bool read_field_key(MsgpackReader& reader, const RecordLayout& layout, std::size_t& field) {
  Marker m;
  if (!reader.read_marker(m)) return false;
  if (is_str_marker(m.kind) || is_bin_marker(m.kind)) {
    // Keys match as raw bytes: a name is ASCII, so no UTF-8 check is needed.
    std::string_view key;
    if (!reader.read_raw(m, key)) return false;
    field = field_from_name(layout, key);
    return true;
  }
  if (is_unsigned_marker(m.kind)) {
    std::uint64_t index = 0;
    if (!reader.read_unsigned(m, index)) return false;
    field = index < layout.fields.size() ? static_cast<std::size_t>(index) : layout.fields.size();
    return true;
  }
  return reader.fail_invalid_type(m, "field identifier");
}

bool decode_map_form(MsgpackReader& reader, const RecordLayout& layout, void* record,
                     std::uint32_t entries) {
  const std::size_t field_count = layout.fields.size();
  std::uint32_t given = 0;  // bit i: field i has appeared in this map
  for (std::uint32_t e = 0; e < entries; ++e) {
    std::size_t field = 0;
    if (!read_field_key(reader, layout, field)) return false;
    Marker value;
    if (field == field_count) {
      if (!reader.read_marker(value) || !reader.skip(value)) return false;
      continue;
    }
    const FieldLayout& f = layout.fields[field];
    if (given & (1u << field)) return reader.fail("duplicate field `" + std::string(f.name) + "`");
    given |= 1u << field;
    if (!reader.read_marker(value) || !f.decode(reader, value, record)) return false;
  }
  for (std::size_t i = 0; i < field_count; ++i) {
    if (layout.fields[i].required && !(given & (1u << i))) {
      return reader.fail("missing field `" + std::string(layout.fields[i].name) + "`");
    }
  }
  return true;
}

// Elements come from the input (array form) or from a binary body taken as a
// list of bytes; `bytes` is non-null for the latter.
bool decode_sequence_form(MsgpackReader& reader, const RecordLayout& layout, void* record,
                          std::uint32_t length, const std::string_view* bytes) {
  const std::size_t field_count = layout.fields.size();
  for (std::size_t i = 0; i < field_count; ++i) {
    if (i == length) {
      if (i < layout.leading_required) {
        return reader.fail("invalid length " + std::to_string(i) + ", expected " +
                           array_expectation(layout));
      }
      return true;  // the remaining fields keep their defaults
    }
    const FieldLayout& f = layout.fields[i];
    if (bytes != nullptr) {
      if (!f.from_byte(reader, static_cast<std::uint8_t>((*bytes)[i]), record)) return false;
    } else {
      Marker value;
      if (!reader.read_marker(value) || !f.decode(reader, value, record)) return false;
    }
  }
  if (length > field_count) {
    return reader.fail("array had incorrect length, expected " + std::to_string(field_count));
  }
  return true;
}

}  // namespace

bool decode_value(MsgpackReader& reader, Marker m, double& out) {
  const MarkerKind k = m.kind;
  if (k == MarkerKind::kF64 || k == MarkerKind::kF32) return reader.read_float(m, out);
  if (is_unsigned_marker(k)) {
    std::uint64_t v = 0;
    if (!reader.read_unsigned(m, v)) return false;
    out = static_cast<double>(v);
    return true;
  }
  if (is_signed_marker(k)) {
    std::int64_t v = 0;
    if (!reader.read_signed(m, v)) return false;
    out = static_cast<double>(v);
    return true;
  }
  if (is_nil_or_bool(k)) return reader.fail_invalid_type(m, "f64");
  return reader.fail_wrong_marker(m);
}

bool decode_value(MsgpackReader& reader, Marker m, std::uint64_t& out) {
  const MarkerKind k = m.kind;
  if (is_unsigned_marker(k)) return reader.read_unsigned(m, out);
  if (is_signed_marker(k)) {
    std::int64_t v = 0;
    if (!reader.read_signed(m, v)) return false;
    if (v < 0) return reader.fail_invalid_value(describe_integer(v), "usize");
    out = static_cast<std::uint64_t>(v);
    return true;
  }
  if (is_float_marker(k) || is_nil_or_bool(k)) return reader.fail_invalid_type(m, "usize");
  return reader.fail_wrong_marker(m);
}

bool decode_value(MsgpackReader& reader, Marker m, bool& out) {
  const MarkerKind k = m.kind;
  if (k == MarkerKind::kTrue || k == MarkerKind::kFalse) {
    out = k == MarkerKind::kTrue;
    return true;
  }
  if (k == MarkerKind::kNull || is_unsigned_marker(k) || is_signed_marker(k) ||
      is_float_marker(k)) {
    return reader.fail_invalid_type(m, "a boolean");
  }
  return reader.fail_wrong_marker(m);
}

bool decode_value(MsgpackReader& reader, Marker m, std::string& out) {
  std::string_view text;
  if (!read_text(reader, m, text)) return false;
  out.assign(text);
  return true;
}

bool decode_value(MsgpackReader& reader, Marker m, Vocabulary& out) {
  if (!is_map_marker(m.kind)) return reader.fail_invalid_type(m, "a map");
  std::uint32_t entries = 0;
  if (!reader.read_length(m, entries) || !reader.enter()) return false;
  out.clear();
  // The vocabulary is the one large map of a model file and never nests, so
  // it is reserved whole from its declared size, as far as the bytes left
  // could hold it (an entry takes at least two): no rehash while loading a
  // million terms, and a corrupt count costs at most a table the size of
  // what the input could have described.
  out.reserve(std::min<std::size_t>(entries, reader.remaining() / 2));
  // A large vocabulary is a table far bigger than the caches, so each insert
  // would wait for memory. Entries are parsed a batch ahead and their slots
  // prefetched, so the waits overlap.
  constexpr std::uint32_t kBatch = 16;
  std::string_view terms[kBatch];
  std::uint64_t columns[kBatch];
  for (std::uint32_t done = 0; done < entries;) {
    const std::uint32_t batch = entries - done < kBatch ? entries - done : kBatch;
    for (std::uint32_t b = 0; b < batch; ++b) {
      Marker key_marker;
      Marker value_marker;
      if (!reader.read_marker(key_marker) || !read_text(reader, key_marker, terms[b]) ||
          !reader.read_marker(value_marker) || !decode_value(reader, value_marker, columns[b])) {
        return false;
      }
      out.prefetch(terms[b]);
    }
    for (std::uint32_t b = 0; b < batch; ++b) {
      // A term given twice keeps its later column, as a dictionary built in
      // file order would.
      auto [it, inserted] = out.try_emplace(terms[b], columns[b]);
      if (!inserted) it->second = columns[b];
    }
    done += batch;
  }
  reader.leave();
  return true;
}

bool value_from_byte(MsgpackReader&, std::uint8_t byte, double& out) {
  out = byte;
  return true;
}

bool value_from_byte(MsgpackReader&, std::uint8_t byte, std::uint64_t& out) {
  out = byte;
  return true;
}

bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, bool&) {
  return fail_byte(reader, byte, "a boolean");
}

bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, std::string&) {
  return fail_byte(reader, byte, "a string");
}

bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, Vocabulary&) {
  return fail_byte(reader, byte, "a map");
}

std::size_t field_from_name(const RecordLayout& layout, std::string_view key) {
  for (std::size_t i = 0; i < layout.fields.size(); ++i) {
    if (layout.fields[i].name == key) return i;
  }
  return layout.fields.size();
}

bool decode_record(MsgpackReader& reader, const RecordLayout& layout, void* record) {
  Marker m;
  if (!reader.read_marker(m)) return false;
  const MarkerKind k = m.kind;
  std::uint32_t length = 0;
  if (is_map_marker(k) || is_array_marker(k)) {
    if (!reader.read_length(m, length) || !reader.enter()) return false;
    const bool ok = is_map_marker(k)
                        ? decode_map_form(reader, layout, record, length)
                        : decode_sequence_form(reader, layout, record, length, nullptr);
    if (!ok) return false;
    reader.leave();
    return true;
  }
  if (is_bin_marker(k)) {
    std::string_view bytes;
    if (!reader.read_raw(m, bytes)) return false;
    return decode_sequence_form(reader, layout, record, static_cast<std::uint32_t>(bytes.size()),
                                &bytes);
  }
  return reader.fail_invalid_type(m, struct_expectation(layout));
}

}  // namespace vesko
