// Test helper: chains of split nodes that name one child for every branch, a
// legal shape whose naive walk over all branches doubles with every level.
#ifndef VESKO_TESTS_MODELS_TREE_CHAINS_H_
#define VESKO_TESTS_MODELS_TREE_CHAINS_H_

#include <cstddef>
#include <utility>

#include "models/tree_node.h"

namespace vesko::testing_trees {

// `depth` split nodes on column 0 with threshold 0.5, each with one child of
// id 1 that its yes, no and missing all name, above `bottom` (given id 1).
// The root has id 0. Built bottom up, without recursion.
inline TreeNode shared_child_chain(std::size_t depth, TreeNode bottom) {
  TreeNode node = std::move(bottom);
  node.nodeid = 1;
  for (std::size_t i = 0; i < depth; ++i) {
    TreeNode parent;
    parent.nodeid = 1;
    parent.split = "f0";
    parent.split_condition = 0.5;
    parent.yes = parent.no = parent.missing = 1;
    parent.children.push_back(std::move(node));
    node = std::move(parent);
  }
  node.nodeid = 0;
  return node;
}

inline TreeNode leaf(double value) {
  TreeNode node;
  node.leaf = value;
  return node;
}

}  // namespace vesko::testing_trees

#endif  // VESKO_TESTS_MODELS_TREE_CHAINS_H_
