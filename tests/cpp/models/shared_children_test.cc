// Trees whose split nodes name one child for several branches: whether a walk
// can give up is known once the model is packed, at a cost of one visit per
// node however many branches share it, and predictions stay those of the
// node-by-node walk.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "csr_rows.h"
#include "models/packed_forest.h"
#include "models/tree_chains.h"
#include "models/xgboost.h"

namespace vesko {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testing_rows::matrix;
using testing_rows::same_bits;
using testing_trees::leaf;
using testing_trees::shared_child_chain;

const std::string kFallback = "WARNING: XGBoost tree traversal failed - returning 0.0 fallback\n";

std::string missing_child(std::size_t id) {
  return "WARNING: XGBoost tree traversal failed - child node " + std::to_string(id) +
         " not found\n" + kFallback;
}

// Column 0 of these rows takes, at every chain node, the missing branch
// (nothing stored), the yes branch (below 0.5) and the no branch.
CsrMatrix three_rows() { return matrix(2, {{}, {{0, 0.2}}, {{0, 0.9}}}); }

XGBoostModel model_of(std::vector<TreeNode> trees) {
  XGBoostModel model;
  model.base_score = 0.3;
  model.trees = std::move(trees);
  return model;
}

struct Scored {
  std::vector<ProbabilityPair> pairs;
  std::string warnings;
};

Scored score(const XGBoostModel& model, const CsrMatrix& x) {
  CaptureStderr();
  std::vector<ProbabilityPair> pairs = model.predict_proba(x);
  return {std::move(pairs), GetCapturedStderr()};
}

void expect_same(const Scored& got, const Scored& want, const std::string& where) {
  ASSERT_EQ(got.pairs.size(), want.pairs.size()) << where;
  for (std::size_t r = 0; r < got.pairs.size(); ++r) {
    EXPECT_TRUE(same_bits(got.pairs[r].spam_prob, want.pairs[r].spam_prob))
        << where << " row " << r;
    EXPECT_TRUE(same_bits(got.pairs[r].clean_prob, want.pairs[r].clean_prob))
        << where << " row " << r;
  }
  EXPECT_EQ(got.warnings, want.warnings) << where;
}

TreeNode split_on_column0(std::optional<std::size_t> yes, std::optional<std::size_t> no,
                          std::optional<std::size_t> missing, std::vector<TreeNode> children) {
  TreeNode node;
  node.split = "f0";
  node.split_condition = 0.5;
  node.yes = yes;
  node.no = no;
  node.missing = missing;
  node.children = std::move(children);
  return node;
}

TreeNode with_id(TreeNode node, std::size_t id) {
  node.nodeid = id;
  return node;
}

TEST(SharedChildChains, PackOncePerNodeAndScoreLikeTheirLeaf) {
  for (std::size_t depth : {20u, 40u, 500u}) {
    const std::string where = "depth " + std::to_string(depth);
    XGBoostModel model = model_of({shared_child_chain(depth, leaf(0.75)), leaf(-0.25)});
    model.pack();
    ASSERT_NE(model.packed, nullptr) << where;
    // One record per node, and one for idle lanes: however many branches
    // name a child, it is packed (and checked) once.
    EXPECT_EQ(model.packed->node_count(), depth + 3) << where;
    EXPECT_FALSE(model.walks_can_give_up()) << where;

    const Scored chained = score(model, three_rows());
    expect_same(chained, score(model_of({leaf(0.75), leaf(-0.25)}), three_rows()), where);
    EXPECT_EQ(chained.warnings, "") << where;

    // One row is walked node by node, with its trace, all the way down.
    const std::string trace = score(model, matrix(2, {{{0, 0.9}}})).warnings;
    EXPECT_NE(trace.find("\n" + std::string(2 * depth, ' ') + "Node 1: LEAF = 0.750000\n"),
              std::string::npos)
        << where;
  }
}

// The only way to a give-up is down a chain of shared children, then one
// branch of the bottom node; every row must warn exactly as the node-by-node
// walk does, in row order.
TEST(SharedChildChains, GiveUpReachableOnlyDeepDownIsFound) {
  struct Case {
    const char* name;
    TreeNode bottom;
    std::string warnings;  // for the three rows in turn
  };
  const TreeNode leaf2 = with_id(leaf(1.0), 2);
  const TreeNode stuck3 = with_id(TreeNode{}, 3);  // neither leaf nor split
  const std::vector<Case> cases = {
      {"no split at all", TreeNode{}, kFallback + kFallback + kFallback},
      {"`no` names an absent child", split_on_column0(2, 9, std::nullopt, {leaf2}),
       missing_child(9)},
      {"`missing` names an absent child", split_on_column0(2, 2, 7, {leaf2}), missing_child(7)},
      {"neither `yes` nor `missing`", split_on_column0(std::nullopt, 2, std::nullopt, {leaf2}),
       kFallback + kFallback},
      // A branch naming another child than the shared one must be followed too.
      {"behind `no` only", split_on_column0(2, 3, 2, {leaf2, stuck3}), kFallback},
      {"behind `missing` only", split_on_column0(2, 2, 3, {leaf2, stuck3}), kFallback},
  };
  for (std::size_t depth : {40u, 500u}) {
    for (const Case& c : cases) {
      const std::string where = std::string(c.name) + ", depth " + std::to_string(depth);
      XGBoostModel nodes = model_of({leaf(0.5), shared_child_chain(depth, c.bottom)});
      XGBoostModel packed = nodes;
      packed.pack();
      ASSERT_NE(packed.packed, nullptr) << where;
      EXPECT_TRUE(packed.walks_can_give_up()) << where;

      const Scored got = score(packed, three_rows());
      expect_same(got, score(nodes, three_rows()), where);
      EXPECT_EQ(got.warnings, c.warnings) << where;
    }
  }
}

TEST(SharedChildChains, FlagNeverVouchesForTreesItHasNotSeen) {
  XGBoostModel model = model_of({shared_child_chain(40, leaf(1.0))});
  EXPECT_TRUE(model.walks_can_give_up());  // not packed: no claim
  model.pack();
  EXPECT_FALSE(model.walks_can_give_up());
  const XGBoostModel copy = model;
  EXPECT_FALSE(copy.walks_can_give_up());

  model.trees.push_back(shared_child_chain(40, TreeNode{}));  // gives up, added after pack()
  EXPECT_TRUE(model.walks_can_give_up());
  model.pack();
  EXPECT_TRUE(model.walks_can_give_up());
  model.trees.pop_back();
  EXPECT_TRUE(model.walks_can_give_up());
  model.pack();
  EXPECT_FALSE(model.walks_can_give_up());
}

// Random trees in which every node is reachable and children are often
// shared among branches, some with one defect placed at a random split node:
// the flag must say exactly whether a defect was placed, and a forest it
// vouches for must score every row without a warning, as the nodes do.
class SharedTrees {
 public:
  explicit SharedTrees(std::uint64_t seed) : rng_(seed) {}

  TreeNode tree(int depth, bool& defect) {
    return depth == 0 || pick(5) == 0 ? leaf(value()) : split(depth, defect);
  }

  std::vector<double> row() {
    std::vector<double> r(3);
    for (double& v : r) v = pick(3) == 0 ? 0.0 : static_cast<double>(pick(5)) * 0.25;
    return r;
  }

 private:
  TreeNode split(int depth, bool& defect) {
    TreeNode node;
    node.split = "f" + std::to_string(pick(3));
    node.split_condition = 0.5;
    const std::size_t children = 1 + pick(2);
    for (std::size_t c = 0; c < children; ++c) {
      node.children.push_back(tree(depth - 1, defect));
      node.children.back().nodeid = 10 + c;
    }
    // With one child every branch names it; with two, `missing` picks one of
    // them or is left to fall back to `yes`.
    node.yes = 10;
    node.no = 10 + children - 1;
    if (pick(3) != 0) node.missing = 10 + pick(children);
    if (!defect && pick(40) == 0) {
      defect = true;
      switch (pick(4)) {
        case 0:
          node.split.reset();
          break;
        case 1:
          node.no = 99;
          break;
        case 2:
          node.missing = 98;
          break;
        default:
          node.yes.reset();
          node.missing.reset();
      }
    }
    return node;
  }

  std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng_() % n); }
  double value() { return static_cast<double>(pick(200)) / 32.0 - 3.0; }

  std::mt19937_64 rng_;
};

TEST(SharedChildChains, FlagIsExactOnRandomTreesWithSharedChildren) {
  SharedTrees gen(5);
  std::size_t clean = 0, defective = 0;
  for (int f = 0; f < 300; ++f) {
    bool defect = false;
    std::vector<TreeNode> trees;
    for (int t = 0; t < 3; ++t) trees.push_back(gen.tree(7, defect));
    XGBoostModel nodes = model_of(std::move(trees));
    XGBoostModel packed = nodes;
    packed.pack();
    ASSERT_NE(packed.packed, nullptr);
    EXPECT_EQ(packed.walks_can_give_up(), defect) << "forest " << f;
    ++(defect ? defective : clean);

    std::vector<testing_rows::Row> rows;
    for (int r = 0; r < 20; ++r) {
      const std::vector<double> values = gen.row();
      testing_rows::Row row;
      for (std::size_t j = 0; j < values.size(); ++j) {
        if (values[j] != 0.0) row.emplace_back(j, values[j]);
      }
      rows.push_back(row);
    }
    const CsrMatrix x = matrix(3, rows);
    const Scored got = score(packed, x);
    expect_same(got, score(nodes, x), "forest " + std::to_string(f));
    if (!defect) {
      EXPECT_EQ(got.warnings, "") << "forest " << f;
    }
  }
  EXPECT_GT(clean, 50u);
  EXPECT_GT(defective, 50u);
}

}  // namespace
}  // namespace vesko
