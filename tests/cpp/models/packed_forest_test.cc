// The packed forest against the node-by-node walk: same values, same warnings,
// and a give-up flag that is exact, for random quirky trees and for chains of
// nodes that name one child for several branches.
#include "models/packed_forest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "csr_rows.h"
#include "models/tree_builders.h"
#include "models/xgboost.h"

namespace vesko {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_rows::matrix;
using testing_rows::Row;
using testing_trees::Id;
using testing_trees::leaf;
using testing_trees::shared_child_chain;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::string kFallback = "WARNING: XGBoost tree traversal failed - returning 0.0 fallback\n";

// A model's pairs of `x`, exact to the bit, and the warnings it wrote.
std::pair<std::string, std::string> scored(const XGBoostModel& model, const CsrMatrix& x) {
  CaptureStderr();
  std::string pairs;
  char text[64];
  for (const ProbabilityPair& p : model.predict_proba(x)) {
    std::snprintf(text, sizeof text, "%a %a\n", p.clean_prob, p.spam_prob);
    pairs += text;
  }
  return {pairs, GetCapturedStderr()};
}

// The model of `trees`, packed, after checking that it scores and warns as its
// nodes walked one by one; with the warnings of scoring `x`.
std::pair<XGBoostModel, std::string> expect_packed_like_nodes(std::vector<TreeNode> trees,
                                                              const CsrMatrix& x,
                                                              const std::string& where) {
  XGBoostModel nodes;
  nodes.base_score = 0.3;
  nodes.trees = std::move(trees);
  XGBoostModel packed = nodes;
  packed.pack();
  EXPECT_NE(packed.packed, nullptr) << where;
  const auto got = scored(packed, x);
  EXPECT_EQ(got, scored(nodes, x)) << where;
  return {packed, got.second};
}

// Random trees with every quirk a model file can carry: repeated and absent
// child ids, targets naming nothing, leaves that also split, nodes without a
// split or threshold, odd split strings, NaN thresholds, columns beyond the
// row; and rows of zeros of both signs (stored or not), NaN and values at
// the thresholds. A completed packed walk must end on the node walk's leaf,
// and any other is left to the node walk, so sums and warnings are the node
// walk's.
TEST(PackedForest, QuirkyTreesScoreAsTheNodes) {
  std::mt19937_64 rng(11);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto threshold = [&] { return static_cast<double>(pick(5)) * 0.5 - 1.0; };
  const char* const splits[] = {"f0",  "f1",  "f2", "f3", "f5", "f7",  // and odd ones
                                "ff1", "f+2", "F1", "",   "f",  "f-1", "f99999999999999999999"};
  std::function<TreeNode(int)> tree = [&](int depth) {
    TreeNode n;
    n.nodeid = pick(4);
    const int kind = static_cast<int>(pick(10));
    if (depth == 0 || kind <= 1) n.leaf = static_cast<double>(pick(1000)) / 64.0 - 7.0;
    if (depth == 0 || kind == 0) return n;  // kind 1: a leaf that also splits
    if (kind != 2) n.split = splits[pick(std::size(splits))];
    if (kind != 3) n.split_condition = pick(8) == 0 ? kNaN : threshold();
    if (pick(6) != 0) n.yes = pick(5);
    if (pick(6) != 0) n.no = pick(5);
    if (pick(3) != 0) n.missing = pick(5);
    for (std::size_t c = pick(4); c > 0; --c) n.children.push_back(tree(depth - 1));
    return n;
  };
  std::vector<TreeNode> trees;
  for (int t = 0; t < 100; ++t) trees.push_back(tree(1 + t % 5));
  std::vector<Row> rows(40);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t j = 0; j < 6; ++j) {
      const std::size_t p = pick(6);
      const double v = p == 0 ? 0.0 : p == 1 ? -0.0 : p == 2 ? kNaN : threshold();
      if (p != 0 || r % 2 == 0) rows[r].emplace_back(j, v);
    }
  }
  EXPECT_NE(expect_packed_like_nodes(trees, matrix(6, rows), "quirky").second, "");
}

// A packed copy that no longer matches the tree list is neither walked nor
// trusted.
TEST(PackedForest, StalePackIsNotTrusted) {
  XGBoostModel model;
  model.trees = {shared_child_chain(40, leaf(1.0))};
  model.pack();
  XGBoostModel nodes = model;
  nodes.packed.reset();
  // A tree that gives up, added after pack().
  for (XGBoostModel* m : {&model, &nodes}) m->trees.push_back(shared_child_chain(40, TreeNode{}));
  const CsrMatrix rows = matrix(1, {{}, {}});
  EXPECT_EQ(scored(model, rows), scored(nodes, rows));
  EXPECT_EQ(scored(model, rows).second, kFallback + kFallback);
}

TreeNode split_f0(Id yes, Id no, Id missing, std::vector<TreeNode> children) {
  return testing_trees::split(0, "f0", 0.5, yes, no, missing, std::move(children));
}

std::string missing_child(std::size_t id) {
  return "WARNING: XGBoost tree traversal failed - child node " + std::to_string(id) +
         " not found\n" + kFallback;
}

// Chains of nodes that name one child for every branch, above a bottom node
// that may hold the only way to a give-up: packed once per node (a walk over
// every branch doubles with each level), and every row warns as the
// node-by-node walk does, in row order.
TEST(PackedForest, SharedChildChains) {
  const TreeNode leaf2 = leaf(1.0, 2);
  TreeNode stuck3;  // neither leaf nor split
  stuck3.nodeid = 3;
  const struct {
    const char* name;
    TreeNode bottom;
    std::size_t bottom_nodes;
    std::string warnings;  // of the three rows: missing, yes and no at every chain node
  } cases[] = {
      {"a leaf", leaf(0.75), 1, ""},
      {"no split at all", TreeNode{}, 1, kFallback + kFallback + kFallback},
      {"`no` names an absent child", split_f0(2, 9, {}, {leaf2}), 2, missing_child(9)},
      {"`missing` names an absent child", split_f0(2, 2, 7, {leaf2}), 2, missing_child(7)},
      {"neither `yes` nor `missing`", split_f0({}, 2, {}, {leaf2}), 2, kFallback + kFallback},
      // A branch naming another child than the shared one must be followed too.
      {"behind `no` only", split_f0(2, 3, 2, {leaf2, stuck3}), 3, kFallback},
      {"behind `missing` only", split_f0(2, 2, 3, {leaf2, stuck3}), 3, kFallback},
  };
  const CsrMatrix rows = matrix(2, {{}, {{0, 0.2}}, {{0, 0.9}}});
  for (std::size_t depth : {40u, 500u}) {
    for (const auto& c : cases) {
      const std::string where = std::string(c.name) + ", depth " + std::to_string(depth);
      const auto [model, warnings] =
          expect_packed_like_nodes({leaf(0.5), shared_child_chain(depth, c.bottom)}, rows, where);
      EXPECT_EQ(warnings, c.warnings) << where;
      // One record per node, the idle lanes' leaf included.
      EXPECT_EQ(model.packed->node_count(), depth + c.bottom_nodes + 2) << where;
    }
  }
}

}  // namespace
}  // namespace vesko
