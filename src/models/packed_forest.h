// PackedForest: the trees of a boosted-tree model flattened for walking many
// rows fast. Every node a walk can reach becomes one 32-byte record in a
// single array, its split column parsed once and its yes/no/missing targets
// resolved once to array positions, by the same rule as the node-by-node walk
// (the first child in list order with the target id; `missing`, else `yes`,
// for the missing branch). Leaves, and every place where that walk would give
// up (no usable split, no target, no child with the id), link to themselves,
// so a fixed number of steps walks several trees side by side without
// branches. A walk that does not end on a leaf is reported incomplete and the
// caller walks that tree node by node, which writes the warnings; a completed
// walk ends on the very leaf the node-by-node walk reaches.
//
// A node reached by several branches (yes, no and missing may all name one
// child) is packed once, so building visits every reachable node once, and a
// chain of such nodes costs its length, not two to the power of it.
#ifndef VESKO_MODELS_PACKED_FOREST_H_
#define VESKO_MODELS_PACKED_FOREST_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "models/tree_node.h"

namespace vesko {

class PackedForest {
 public:
  // Trees walked side by side by walk_group.
  static constexpr std::size_t kLanes = 8;

  // Packs every tree, in order. Returns nullopt for a forest too large for
  // 32-bit node positions; such a forest is walked node by node.
  static std::optional<PackedForest> build(std::span<const TreeNode> trees);

  std::size_t tree_count() const { return roots_.size(); }

  // Records in the packed array, the zero leaf for idle lanes included: one
  // per reachable node.
  std::size_t node_count() const { return nodes_.size(); }

  // Walks trees [first, first + count), count <= kLanes, for one dense row.
  // `features` must hold one entry past the row, equal to 0.0: the value read
  // for a column at or beyond the row's length. values[i] is tree first + i's
  // leaf value when complete[i]; otherwise the tree must be walked node by
  // node. Writes nothing. Immutable; safe to share across threads.
  void walk_group(std::size_t first, std::size_t count, std::span<const double> features,
                  double* values, bool* complete) const;

 private:
  // Branch indices into Node::link.
  static constexpr int kYes = 0, kNo = 1, kMissing = 2;

  struct Node {
    double value = 0.0;       // the leaf value, or the threshold of a split
    std::size_t feature = 0;  // the split's column
    // Positions in nodes_ by branch; a node's own position where the walk stops.
    std::int32_t link[3] = {0, 0, 0};
    bool leaf = false;
  };

  bool pack_tree(const TreeNode& root);

  std::vector<Node> nodes_;           // nodes_[0]: a zero leaf for idle lanes
  std::vector<std::int32_t> roots_;   // per tree
  std::vector<std::uint32_t> depth_;  // per tree: steps to its deepest reachable node
};

}  // namespace vesko

#endif  // VESKO_MODELS_PACKED_FOREST_H_
