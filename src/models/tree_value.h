// The generic value that holds one boosted tree between reading
// "model4.msgpack" and converting the tree into TreeNodes: nlohmann::json,
// whose objects keep their keys in ascending byte order, as the conversion
// relies on.
#ifndef VESKO_MODELS_TREE_VALUE_H_
#define VESKO_MODELS_TREE_VALUE_H_

#include <cstdint>
#include <nlohmann/json.hpp>

#include "models/msgpack_reader.h"

namespace vesko {

// Decodes the value that marker `m` starts into `out`. NaN and infinite floats
// become null, non-negative integers unsigned; binary data and extensions are
// refused; a map's first key must be a string, later keys may also be binary
// data holding UTF-8, and a repeated key keeps its last value. Arrays and maps
// take levels of the reader's nesting budget. On failure the reader holds the
// message and `out` is unspecified.
bool decode_value(MsgpackReader& reader, Marker m, nlohmann::json& out);

// One byte of binary data offered where a tree is due: an unsigned integer.
bool value_from_byte(MsgpackReader& reader, std::uint8_t byte, nlohmann::json& out);

}  // namespace vesko

#endif  // VESKO_MODELS_TREE_VALUE_H_
