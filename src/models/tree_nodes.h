// Conversion of a boosted tree held as a generic value into TreeNode records.
// The messages are the ones earlier releases gave for malformed trees.
#ifndef VESKO_MODELS_TREE_NODES_H_
#define VESKO_MODELS_TREE_NODES_H_

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/expected.h"
#include "models/tree_node.h"

namespace vesko {

// One node, given as an object (fields by name, taken in ascending key order,
// so "children" converts before the node's own fields) or as an array (fields
// by position, at most 8). The failure is the conversion text alone, without
// the "Failed to deserialize tree: " prefix. Pure; recursion depth follows the
// tree, which the file decoder's nesting budget bounds at about 510 levels.
Expected<TreeNode> tree_node_from_value(const nlohmann::json& value);

// A list of nodes (the `children` rule): an array, each element a node.
Expected<std::vector<TreeNode>> tree_nodes_from_value(const nlohmann::json& value);

// How a generic value is described in conversion messages: "null",
// "boolean `true`", "integer `-1`", "floating point `1.5`", "string \"x\"",
// "sequence", "map".
std::string describe_tree_value(const nlohmann::json& value);

}  // namespace vesko

#endif  // VESKO_MODELS_TREE_NODES_H_
