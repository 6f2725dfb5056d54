// Test helpers: boosted-tree nodes written in one expression, and chains of
// split nodes that name one child for every branch, a legal shape whose naive
// walk over all branches doubles with every level.
#ifndef VESKO_TESTS_MODELS_TREE_BUILDERS_H_
#define VESKO_TESTS_MODELS_TREE_BUILDERS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "models/tree_node.h"

namespace vesko::testing_trees {

using Id = std::optional<std::size_t>;

inline TreeNode leaf(double value, std::size_t id = 0) {
  return TreeNode{id, {}, {}, {}, {}, {}, value, {}};
}

inline TreeNode split(std::size_t id, std::string feature, double threshold, Id yes, Id no,
                      Id missing, std::vector<TreeNode> children) {
  return TreeNode{id, std::move(feature), threshold, yes, no, missing, {}, std::move(children)};
}

// `depth` split nodes on column 0 with threshold 0.5, each with one child of
// id 1 that its yes, no and missing all name, above `bottom` (given id 1).
// The root has id 0. Built bottom up, without recursion.
inline TreeNode shared_child_chain(std::size_t depth, TreeNode bottom) {
  TreeNode node = std::move(bottom);
  node.nodeid = 1;
  for (std::size_t i = 0; i < depth; ++i) node = split(1, "f0", 0.5, 1, 1, 1, {std::move(node)});
  node.nodeid = 0;
  return node;
}

}  // namespace vesko::testing_trees

#endif  // VESKO_TESTS_MODELS_TREE_BUILDERS_H_
