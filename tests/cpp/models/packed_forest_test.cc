// The packed forest against the node-by-node walk: same values, same warnings,
// and a give-up flag that is exact, for random quirky trees and for chains of
// nodes that name one child for several branches.
#include "models/packed_forest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
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
using testing_rows::same_bits;
using testing_trees::Id;
using testing_trees::leaf;
using testing_trees::shared_child_chain;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kCols = 6;
const std::string kFallback = "WARNING: XGBoost tree traversal failed - returning 0.0 fallback\n";

struct Scored {
  std::vector<ProbabilityPair> pairs;
  std::string warnings;
};

Scored score(const XGBoostModel& model, const CsrMatrix& x) {
  CaptureStderr();
  std::vector<ProbabilityPair> pairs = model.predict_proba(x);
  return {std::move(pairs), GetCapturedStderr()};
}

// `model` packed scores and warns bit for bit as its nodes walked one by one.
Scored expect_packed_like_nodes(const XGBoostModel& model, const CsrMatrix& x,
                                const std::string& where) {
  XGBoostModel packed = model;
  packed.pack();
  EXPECT_NE(packed.packed, nullptr) << where;
  Scored got = score(packed, x);
  const Scored want = score(model, x);
  EXPECT_EQ(got.pairs.size(), want.pairs.size()) << where;
  for (std::size_t r = 0; r < got.pairs.size() && r < want.pairs.size(); ++r) {
    EXPECT_TRUE(same_bits(got.pairs[r].spam_prob, want.pairs[r].spam_prob))
        << where << " row " << r;
    EXPECT_TRUE(same_bits(got.pairs[r].clean_prob, want.pairs[r].clean_prob))
        << where << " row " << r;
  }
  EXPECT_EQ(got.warnings, want.warnings) << where;
  return got;
}

XGBoostModel model_of(std::vector<TreeNode> trees) {
  XGBoostModel model;
  model.base_score = 0.3;
  model.trees = std::move(trees);
  return model;
}

// Trees with every quirk a model file can carry: repeated and absent child
// ids, targets naming nothing, leaves that also split, nodes without a split
// or threshold, odd split strings, NaN thresholds, columns beyond the row.
class QuirkyTrees {
 public:
  explicit QuirkyTrees(std::uint64_t seed) : rng_(seed) {}

  TreeNode tree(int depth) {
    TreeNode n;
    n.nodeid = pick(4);
    const int kind = static_cast<int>(pick(10));
    if (depth == 0 || kind == 0) {
      n.leaf = value();
      return n;
    }
    if (kind == 1) n.leaf = value();  // a leaf that also splits
    static const char* const kSplits[] = {
        "f0",  "f1",  "f2", "f3", "f5", "f7",  // and odd ones
        "ff1", "f+2", "F1", "",   "f",  "f-1", "f99999999999999999999"};
    if (kind != 2) n.split = kSplits[pick(std::size(kSplits))];
    if (kind != 3) n.split_condition = pick(8) == 0 ? kNaN : threshold();
    if (pick(6) != 0) n.yes = pick(5);
    if (pick(6) != 0) n.no = pick(5);
    if (pick(3) != 0) n.missing = pick(5);
    for (std::size_t c = pick(4); c > 0; --c) n.children.push_back(tree(depth - 1));
    return n;
  }

  std::vector<double> row() {
    std::vector<double> r(kCols);
    for (double& v : r) {
      const std::size_t p = pick(6);
      v = p == 0 ? 0.0 : p == 1 ? -0.0 : p == 2 ? kNaN : threshold();
    }
    return r;
  }

 private:
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  double threshold() { return static_cast<double>(pick(5)) * 0.5 - 1.0; }
  double value() { return static_cast<double>(pick(1000)) / 64.0 - 7.0; }

  std::mt19937_64 rng_;
};

TEST(PackedForest, CompleteWalksEndOnTheSameLeafWithoutWarnings) {
  QuirkyTrees gen(11);
  std::vector<TreeNode> trees;
  for (int t = 0; t < 400; ++t) trees.push_back(gen.tree(5));
  const std::optional<PackedForest> forest = PackedForest::build(trees);
  ASSERT_TRUE(forest.has_value());
  ASSERT_EQ(forest->tree_count(), trees.size());

  std::size_t completed = 0, incomplete = 0;
  for (int r = 0; r < 50; ++r) {
    std::vector<double> row = gen.row();
    row.push_back(0.0);  // the entry past the row
    const std::span<const double> features(row.data(), kCols);
    for (std::size_t first = 0; first < trees.size(); first += PackedForest::kLanes) {
      const std::size_t count = std::min(PackedForest::kLanes, trees.size() - first);
      double values[PackedForest::kLanes];
      bool complete[PackedForest::kLanes];
      forest->walk_group(first, count, row, values, complete);
      for (std::size_t i = 0; i < count; ++i) {
        CaptureStderr();
        const double want = XGBoostModel::traverse_tree(trees[first + i], features, 0, false);
        const std::string err = GetCapturedStderr();
        const std::string where = "tree " + std::to_string(first + i) + " row " + std::to_string(r);
        if (complete[i]) {
          ++completed;
          EXPECT_TRUE(same_bits(values[i], want)) << where;
          EXPECT_EQ(err, "") << where;
        } else {
          ++incomplete;
          // Only a walk that gives up may be left to the node-by-node walk.
          EXPECT_NE(err, "") << where;
        }
      }
    }
  }
  // The generator must exercise both outcomes to mean anything.
  EXPECT_GT(completed, 1000u);
  EXPECT_GT(incomplete, 1000u);
}

TEST(PackedForest, PackedModelPredictsAndWarnsExactlyAsTheNodes) {
  QuirkyTrees gen(23);
  std::vector<TreeNode> trees;
  for (int t = 0; t < 37; ++t) trees.push_back(gen.tree(4));
  std::vector<testing_rows::Row> rows;
  for (int r = 0; r < 40; ++r) {
    const std::vector<double> values = gen.row();
    rows.emplace_back();
    for (std::size_t j = 0; j < kCols; ++j) {
      if (values[j] == 0.0 && !std::signbit(values[j]) && r % 2 == 0) continue;  // unstored
      rows.back().emplace_back(j, values[j]);
    }
  }
  EXPECT_NE(expect_packed_like_nodes(model_of(trees), matrix(kCols, rows), "quirky").warnings, "");
}

// A packed copy that no longer matches the tree list is neither walked nor
// trusted.
TEST(PackedForest, StalePackIsNotTrusted) {
  XGBoostModel model = model_of({shared_child_chain(40, leaf(1.0))});
  EXPECT_TRUE(model.walks_can_give_up());  // not packed: no claim
  model.pack();
  EXPECT_FALSE(XGBoostModel(model).walks_can_give_up());
  model.trees.push_back(shared_child_chain(40, TreeNode{}));  // gives up, added after pack()
  EXPECT_TRUE(model.walks_can_give_up());
  const Scored stale = score(model, matrix(1, {{}, {}}));
  EXPECT_EQ(stale.warnings, kFallback + kFallback);
  EXPECT_DOUBLE_EQ(stale.pairs[0].spam_prob, 1.0 / (1.0 + std::exp(-std::log(0.3 / 0.7) - 1.0)));
  model.pack();
  EXPECT_TRUE(model.walks_can_give_up());
  model.trees.pop_back();
  EXPECT_TRUE(model.walks_can_give_up());
  model.pack();
  EXPECT_FALSE(model.walks_can_give_up());
}

TreeNode split_f0(Id yes, Id no, Id missing, std::vector<TreeNode> children) {
  return testing_trees::split(0, "f0", 0.5, yes, no, missing, std::move(children));
}

TreeNode with_id(TreeNode node, std::size_t id) {
  node.nodeid = id;
  return node;
}

std::string missing_child(std::size_t id) {
  return "WARNING: XGBoost tree traversal failed - child node " + std::to_string(id) +
         " not found\n" + kFallback;
}

// Chains of nodes that name one child for every branch, above a bottom node
// that may hold the only way to a give-up: packed once per node (a walk over
// every branch doubles with each level), flagged exactly, and every row warns
// as the node-by-node walk does, in row order.
TEST(PackedForest, SharedChildChains) {
  const TreeNode leaf2 = leaf(1.0, 2);
  const TreeNode stuck3 = with_id(TreeNode{}, 3);  // neither leaf nor split
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
      XGBoostModel model = model_of({leaf(0.5), shared_child_chain(depth, c.bottom)});
      EXPECT_EQ(expect_packed_like_nodes(model, rows, where).warnings, c.warnings) << where;
      model.pack();
      // One record per node, the idle lanes' leaf included.
      EXPECT_EQ(model.packed->node_count(), depth + c.bottom_nodes + 2) << where;
      EXPECT_EQ(model.walks_can_give_up(), !c.warnings.empty()) << where;
    }
  }
}

// Random trees whose children are often shared among branches, some with one
// defect at a random split node: the flag says exactly whether a defect was
// placed, and the packed forest scores as the nodes do.
class SharedTrees {
 public:
  explicit SharedTrees(std::uint64_t seed) : rng_(seed) {}

  TreeNode tree(int depth, bool& defect) {
    if (depth == 0 || pick(5) == 0) return leaf(static_cast<double>(pick(200)) / 32.0 - 3.0);
    const std::size_t children = 1 + pick(2);
    std::vector<TreeNode> nodes;
    for (std::size_t c = 0; c < children; ++c)
      nodes.push_back(with_id(tree(depth - 1, defect), 10 + c));
    // With one child every branch names it; with two, `missing` picks one of
    // them or is left to fall back to `yes`.
    TreeNode node = split_f0(10, 10 + children - 1, {}, std::move(nodes));
    node.split = "f" + std::to_string(pick(3));
    if (pick(3) != 0) node.missing = 10 + pick(children);
    if (!defect && pick(40) == 0) {
      defect = true;
      const std::size_t kind = pick(4);
      if (kind == 0) node.split.reset();
      if (kind == 1) node.no = 99;
      if (kind == 2) node.missing = 98;
      if (kind == 3) node.yes = node.missing = std::nullopt;
    }
    return node;
  }

  testing_rows::Row row() {
    testing_rows::Row r;
    for (std::size_t j = 0; j < 3; ++j) {
      if (pick(3) != 0) r.emplace_back(j, static_cast<double>(pick(5)) * 0.25);
    }
    return r;
  }

 private:
  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  std::mt19937_64 rng_;
};

TEST(PackedForest, FlagIsExactOnRandomTreesWithSharedChildren) {
  SharedTrees gen(5);
  std::size_t defective = 0;
  for (int f = 0; f < 300; ++f) {
    bool defect = false;
    std::vector<TreeNode> trees;
    for (int t = 0; t < 3; ++t) trees.push_back(gen.tree(7, defect));
    std::vector<testing_rows::Row> rows;
    for (int r = 0; r < 20; ++r) rows.push_back(gen.row());
    XGBoostModel model = model_of(std::move(trees));
    const std::string where = "forest " + std::to_string(f);
    const Scored got = expect_packed_like_nodes(model, matrix(3, rows), where);
    EXPECT_TRUE(defect || got.warnings.empty()) << where;
    model.pack();
    EXPECT_EQ(model.walks_can_give_up(), defect) << where;
    defective += defect;
  }
  EXPECT_GT(defective, 50u);
  EXPECT_LT(defective, 250u);
}

}  // namespace
}  // namespace vesko
