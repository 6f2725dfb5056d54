// Conversion of boosted trees held as generic values into TreeNode records.
// A node is an object (fields by name, taken in ascending key order, so
// "children" converts before the node's own fields) or an array (fields by
// position, at most 8). The messages are the ones earlier releases gave for
// malformed trees. Recursion depth follows the tree, which the file decoder's
// nesting budget bounds at about 510 levels.
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

#include "common/number_format.h"
#include "models/model_files.h"
#include "models/msgpack_reader.h"

namespace vesko {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kFieldCount = 8;

// Floats in tree messages use the JSON library's shortest form: positional
// up to 16 integer digits and down to 0.0001, exponent form beyond, and
// always a fractional part or an exponent ("1.0", "1e16", "1.5e-7").
std::string format_json_float(double value) {
  if (!std::isfinite(value)) return format_with_decimal_point(value);
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  char buffer[40];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                              std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  const int length = static_cast<int>(digits.size());
  const int point = exponent + 1;  // digits before the decimal point
  const int trailing = point - length;
  if (trailing >= 0 && point <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(trailing), '0');
    out += ".0";
  } else if (point > 0 && point <= 16) {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point), std::string::npos);
  } else if (point > -5 && point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else {
    out.push_back(digits[0]);
    if (length > 1) {
      out.push_back('.');
      out.append(digits, 1, std::string::npos);
    }
    out.push_back('e');
    out += std::to_string(point - 1);
  }
  return out;
}

// How a generic value is described in conversion messages: "null",
// "boolean `true`", "integer `-1`", "floating point `1.5`", "string \"x\"",
// "sequence", "map".
std::string describe_tree_value(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return describe_bool(value.get<bool>());
    case Json::value_t::number_unsigned:
      return describe_integer(value.get<std::uint64_t>());
    case Json::value_t::number_integer:
      return describe_integer(value.get<std::int64_t>());
    case Json::value_t::number_float:
      return "floating point `" + format_json_float(value.get<double>()) + "`";
    case Json::value_t::string:
      return describe_string(value.get_ref<const std::string&>());
    case Json::value_t::array:
      return "sequence";
    case Json::value_t::object:
      return "map";
    default:
      return "byte array";  // binary values are never built from model files
  }
}

bool fail_type(const Json& value, std::string_view expected, std::string& error) {
  error = "invalid type: " + describe_tree_value(value) + ", expected " + std::string(expected);
  return false;
}

// Integers of either sign as stored by the tree decoder; a signed value of 0
// or more is treated as unsigned whatever built it.
bool as_unsigned(const Json& value, std::size_t& out) {
  if (value.is_number_unsigned()) {
    out = value.get<std::uint64_t>();
    return true;
  }
  if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
    out = static_cast<std::size_t>(value.get<std::int64_t>());
    return true;
  }
  return false;
}

bool convert_index(const Json& value, bool nullable, std::optional<std::size_t>& out,
                   std::string& error) {
  std::size_t number;
  if (as_unsigned(value, number)) {
    out = number;
    return true;
  }
  if (nullable && value.is_null()) {
    out.reset();
    return true;
  }
  if (value.is_number_integer()) {
    error = "invalid value: " + describe_tree_value(value) + ", expected usize";
    return false;
  }
  return fail_type(value, "usize", error);
}

bool convert_float(const Json& value, std::optional<double>& out, std::string& error) {
  if (value.is_null()) {
    out.reset();
    return true;
  }
  if (value.is_number()) {
    out = value.get<double>();
    return true;
  }
  return fail_type(value, "f64", error);
}

bool convert_split(const Json& value, std::optional<std::string>& out, std::string& error) {
  if (value.is_null()) {
    out.reset();
    return true;
  }
  if (value.is_string()) {
    out = value.get_ref<const std::string&>();
    return true;
  }
  return fail_type(value, "a string", error);
}

bool convert_node(const Json& value, TreeNode& node, std::string& error);

bool convert_children(const Json& value, std::vector<TreeNode>& out, std::string& error) {
  if (!value.is_array()) return fail_type(value, "a sequence", error);
  out.clear();
  out.reserve(value.size());
  for (const Json& element : value) {
    if (!convert_node(element, out.emplace_back(), error)) return false;
  }
  return true;
}

// Field `index` in the TreeNode order: nodeid, split, split_condition, yes,
// no, missing, leaf, children.
bool convert_field(std::size_t index, const Json& value, TreeNode& node, std::string& error) {
  std::optional<std::size_t> id;
  switch (index) {
    case 0:
      if (!convert_index(value, false, id, error)) return false;
      node.nodeid = *id;
      return true;
    case 1:
      return convert_split(value, node.split, error);
    case 2:
      return convert_float(value, node.split_condition, error);
    case 3:
      return convert_index(value, true, node.yes, error);
    case 4:
      return convert_index(value, true, node.no, error);
    case 5:
      return convert_index(value, true, node.missing, error);
    case 6:
      return convert_float(value, node.leaf, error);
    default:
      return convert_children(value, node.children, error);
  }
}

constexpr std::string_view kFieldNames[kFieldCount] = {
    "nodeid", "split", "split_condition", "yes", "no", "missing", "leaf", "children"};

std::size_t field_index(std::string_view key) {
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (kFieldNames[i] == key) return i;
  }
  return kFieldCount;
}

bool convert_node(const Json& value, TreeNode& node, std::string& error) {
  if (value.is_object()) {
    bool has_nodeid = false;
    // The object keeps its keys in ascending byte order, so "children" comes
    // before the node's other fields, as in the releases that wrote these
    // messages first.
    for (const auto& [key, field_value] : value.get_ref<const Json::object_t&>()) {
      const std::size_t index = field_index(key);
      if (index == kFieldCount) continue;
      if (!convert_field(index, field_value, node, error)) return false;
      has_nodeid |= index == 0;
    }
    if (!has_nodeid) {
      error = "missing field `nodeid`";
      return false;
    }
    return true;
  }
  if (value.is_array()) {
    const auto& elements = value.get_ref<const Json::array_t&>();
    if (elements.empty()) {
      error = "invalid length 0, expected struct TreeNode with 8 elements";
      return false;
    }
    const std::size_t used = elements.size() < kFieldCount ? elements.size() : kFieldCount;
    for (std::size_t i = 0; i < used; ++i) {
      if (!convert_field(i, elements[i], node, error)) return false;
    }
    if (elements.size() > kFieldCount) {
      error = "invalid length " + std::to_string(elements.size()) +
              ", expected fewer elements in array";
      return false;
    }
    return true;
  }
  return fail_type(value, "struct TreeNode", error);
}

}  // namespace

Expected<XGBoostModel> collect_tree_nodes(XGBoostModelFile model) {
  XGBoostModel out;
  out.trees.reserve(model.trees.size());
  std::string error;
  for (const Json& tree : model.trees) {
    // The first failing tree ends the conversion; later trees are not looked at.
    if (!convert_node(tree, out.trees.emplace_back(), error)) {
      return Failure{"Failed to deserialize tree: " + error};
    }
  }
  model.trees.clear();
  out.n_estimators = model.n_estimators;
  out.learning_rate = model.learning_rate;
  out.base_score = model.base_score;
  out.classes = std::move(model.classes);
  return out;
}

}  // namespace vesko
