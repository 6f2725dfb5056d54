#include "models/packed_forest.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include "models/tree_walk.h"

namespace vesko {
namespace {

constexpr std::size_t kMaxNodes =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

}  // namespace

std::optional<PackedForest> PackedForest::build(std::span<const TreeNode> trees) {
  PackedForest forest;
  Node idle;
  idle.leaf = true;
  forest.nodes_.push_back(idle);  // position 0 links to itself
  forest.roots_.reserve(trees.size());
  forest.depth_.reserve(trees.size());
  for (const TreeNode& root : trees) {
    if (!forest.pack_tree(root)) return std::nullopt;
  }
  return forest;
}

// Depth first with an explicit stack, so a deep tree costs heap, not stack.
bool PackedForest::pack_tree(const TreeNode& root) {
  std::vector<std::tuple<const TreeNode*, std::int32_t, std::uint32_t>> pending;
  auto allocate = [&](const TreeNode* node, std::uint32_t depth) -> std::int32_t {
    const auto position = static_cast<std::int32_t>(nodes_.size());
    nodes_.emplace_back();
    pending.emplace_back(node, position, depth);
    return position;
  };
  if (nodes_.size() >= kMaxNodes) return false;
  roots_.push_back(allocate(&root, 0));
  std::uint32_t deepest = 0;

  while (!pending.empty()) {
    const auto [node, position, depth] = pending.back();
    pending.pop_back();
    deepest = std::max(deepest, depth);
    Node packed;
    packed.link[kYes] = packed.link[kNo] = packed.link[kMissing] = position;
    if (node->leaf) {
      packed.leaf = true;
      packed.value = *node->leaf;
    } else if (node->split && node->split_condition) {
      packed.value = *node->split_condition;
      packed.feature = parse_split_index(*node->split);
      std::optional<std::size_t> targets[3];
      targets[kYes] = node->yes;
      targets[kNo] = node->no;
      targets[kMissing] = node->missing ? node->missing : node->yes;
      const TreeNode* children[3] = {nullptr, nullptr, nullptr};
      std::int32_t links[3] = {position, position, position};
      for (int b = 0; b < 3; ++b) {
        if (!targets[b]) continue;
        children[b] = node->child(*targets[b]);
        if (children[b] == nullptr) continue;
        // Targets that name the same child share its packed copy.
        for (int a = 0; a < b; ++a) {
          if (children[a] == children[b]) links[b] = links[a];
        }
        if (links[b] == position) {
          if (nodes_.size() >= kMaxNodes) return false;
          links[b] = allocate(children[b], depth + 1);
        }
      }
      packed.link[kYes] = links[0];
      packed.link[kNo] = links[1];
      packed.link[kMissing] = links[2];
    }
    nodes_[static_cast<std::size_t>(position)] = packed;
  }
  depth_.push_back(deepest);
  return true;
}

void PackedForest::walk_group(std::size_t first, std::size_t count,
                              std::span<const double> features, double* values,
                              bool* complete) const {
  const Node* nodes = nodes_.data();
  const double* row = features.data();
  const std::size_t past_row = features.size() - 1;  // holds 0.0
  std::int32_t position[kLanes] = {};
  std::uint32_t steps = 0;
  for (std::size_t i = 0; i < count; ++i) {
    position[i] = roots_[first + i];
    steps = std::max(steps, depth_[first + i]);
  }
  // The same tests as the node-by-node walk: zero (so -0.0 too) takes the
  // missing branch, else below the threshold `yes`, else (NaN too) `no`. The
  // branch is computed as an index rather than jumped to: which way a tree
  // goes is data, and the lanes overlap their loads only without jumps.
  for (std::uint32_t s = 0; s < steps; ++s) {
    for (std::size_t i = 0; i < kLanes; ++i) {
      const Node& node = nodes[position[i]];
      const double value = row[std::min(node.feature, past_row)];
      const int below = value < node.value;
      const int zero = value == 0.0;
      position[i] = node.link[(1 - below) + zero * (1 + below)];
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const Node& node = nodes[position[i]];
    values[i] = node.value;
    complete[i] = node.leaf;
  }
}

}  // namespace vesko
