// TreeNode: one node of a boosted tree, as "model4.msgpack" describes it.
// Nothing ties the fields together: a node may hold a leaf value and children,
// and yes/no/missing are matched against the children's ids only when a walk
// needs them.
#ifndef VESKO_MODELS_TREE_NODE_H_
#define VESKO_MODELS_TREE_NODE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vesko {

struct TreeNode {
  std::size_t nodeid = 0;
  std::optional<std::string> split;  // "f" + column index
  std::optional<double> split_condition;
  std::optional<std::size_t> yes;
  std::optional<std::size_t> no;
  std::optional<std::size_t> missing;
  std::optional<double> leaf;
  std::vector<TreeNode> children;

  // The child a branch names: the first in list order with that id, or null.
  // Ids are looked up among the node's own children only, never by position
  // or elsewhere in the tree, as the trees were always walked.
  const TreeNode* child(std::size_t id) const {
    for (const TreeNode& c : children) {
      if (c.nodeid == id) return &c;
    }
    return nullptr;
  }
};

}  // namespace vesko

#endif  // VESKO_MODELS_TREE_NODE_H_
