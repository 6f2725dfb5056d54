// The one MessagePack record decoder behind every model file. A record is
// described by a table of its fields (name, required or not, how to decode
// the C++ member); the decoder accepts the record as a map keyed by field
// name or index, or as an array of fields in declaration order, and yields
// the messages that operators know from earlier releases.
//
// Value decoders are overloaded on the member's C++ type and take the marker
// that starts the value, already read. All of them return false with the
// message left in the reader; none throws on malformed input.
#ifndef VESKO_MODELS_RECORD_DECODER_H_
#define VESKO_MODELS_RECORD_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/expected.h"
#include "models/msgpack_reader.h"
#include "models/tree_value.h"
#include "tfidf/vocabulary.h"

namespace vesko {

// float: float 32/64 and every integer kind, converted to the nearest double.
bool decode_value(MsgpackReader& reader, Marker m, double& out);
// count: any integer kind holding a value of 0 or more.
bool decode_value(MsgpackReader& reader, Marker m, std::uint64_t& out);
// flag: true or false only.
bool decode_value(MsgpackReader& reader, Marker m, bool& out);
// text: a string, or binary data, holding valid UTF-8.
bool decode_value(MsgpackReader& reader, Marker m, std::string& out);
// term map: text keys, count values; a repeated key keeps the later value.
bool decode_value(MsgpackReader& reader, Marker m, Vocabulary& out);

// Binary data offered where a list is due reads as a list of its bytes, each
// an unsigned integer; these decode one such byte as the element type.
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, double& out);
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, std::uint64_t& out);
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, bool& out);
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, std::string& out);
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, Vocabulary& out);

template <typename T>
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, std::vector<T>& out);

// optional X: nil is absent; anything else decodes as X, with X's messages.
template <typename T>
bool decode_value(MsgpackReader& reader, Marker m, std::optional<T>& out) {
  if (m.kind == MarkerKind::kNull) {
    out.reset();
    return true;
  }
  return decode_value(reader, m, out.emplace());
}

template <typename T>
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, std::optional<T>& out) {
  return value_from_byte(reader, byte, out.emplace());
}

// list of X: an array of X, or binary data as a list of its bytes. Pre-sizing
// trusts the declared count only up to MsgpackReader::kPresizeBytes.
template <typename T>
bool decode_value(MsgpackReader& reader, Marker m, std::vector<T>& out) {
  std::uint32_t len = 0;
  if (is_array_marker(m.kind)) {
    if (!reader.read_length(m, len) || !reader.enter()) return false;
    out.clear();
    out.reserve(reader.presize(len, sizeof(T)));
    for (std::uint32_t i = 0; i < len; ++i) {
      Marker element;
      if (!reader.read_marker(element) || !decode_value(reader, element, out.emplace_back())) {
        return false;
      }
    }
    reader.leave();
    return true;
  }
  if (is_bin_marker(m.kind)) {
    std::string_view body;
    if (!reader.read_raw(m, body)) return false;
    out.clear();
    out.reserve(body.size());
    for (char c : body) {
      if (!value_from_byte(reader, static_cast<std::uint8_t>(c), out.emplace_back())) return false;
    }
    return true;
  }
  if (m.kind == MarkerKind::kReserved) return reader.fail_wrong_marker(m);
  return reader.fail_invalid_type(m, "a sequence");
}

template <typename T>
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, std::vector<T>&) {
  return reader.fail("invalid type: " + describe_integer(std::uint64_t{byte}) +
                     ", expected a sequence");
}

// One field of a record: its name, whether a map must give it, and how to
// decode it into the record (type-erased so one table serves each record).
struct FieldLayout {
  std::string_view name;
  bool required;
  bool (*decode)(MsgpackReader&, Marker, void* record);
  bool (*from_byte)(MsgpackReader&, std::uint8_t, void* record);
};

// A record: its name ("TfidfModel"), its fields in declaration order, and how
// many leading fields an array must hold.
struct RecordLayout {
  std::string_view name;
  std::span<const FieldLayout> fields;
  std::size_t leading_required;
};

template <auto Member>
struct MemberCodec;

template <typename Record, typename Value, Value Record::*Member>
struct MemberCodec<Member> {
  static bool decode(MsgpackReader& reader, Marker m, void* record) {
    return decode_value(reader, m, static_cast<Record*>(record)->*Member);
  }
  static bool from_byte(MsgpackReader& reader, std::uint8_t byte, void* record) {
    return value_from_byte(reader, byte, static_cast<Record*>(record)->*Member);
  }
};

// The table entry for the member `Member` of a record.
template <auto Member>
constexpr FieldLayout field_layout(std::string_view name, bool required) {
  return FieldLayout{name, required, &MemberCodec<Member>::decode, &MemberCodec<Member>::from_byte};
}

// The index of the field named `key` (exact bytes), or the field count.
std::size_t field_from_name(const RecordLayout& layout, std::string_view key);

// Decodes one record from the reader's current position into `record`, whose
// fields hold their defaults on entry. False with the message in the reader.
bool decode_record(MsgpackReader& reader, const RecordLayout& layout, void* record);

// The whole-file form: the record from the first byte on; later bytes are
// ignored. Never throws on malformed input.
template <typename Record>
Expected<Record> decode_record_bytes(std::span<const std::uint8_t> bytes,
                                     const RecordLayout& layout) {
  MsgpackReader reader(bytes);
  Record record;
  if (!decode_record(reader, layout, &record)) return Failure{reader.take_error()};
  return record;
}

}  // namespace vesko

#endif  // VESKO_MODELS_RECORD_DECODER_H_
