#include "models/packed_forest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "csr_rows.h"
#include "models/xgboost.h"

namespace vesko {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kCols = 6;

using testing_rows::same_bits;

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
    static const char* const kSplits[] = {"f0",
                                          "f1",
                                          "f2",
                                          "f3",
                                          "f5",
                                          "f7",
                                          "ff1",
                                          "f+2",
                                          "F1",
                                          "",
                                          "f",
                                          "f-1",
                                          "f99999999999999999999"};
    if (kind != 2) n.split = kSplits[pick(std::size(kSplits))];
    if (kind != 3) n.split_condition = pick(8) == 0 ? kNaN : threshold();
    if (pick(6) != 0) n.yes = pick(5);
    if (pick(6) != 0) n.no = pick(5);
    if (pick(3) != 0) n.missing = pick(5);
    const std::size_t children = pick(4);
    for (std::size_t c = 0; c < children; ++c) n.children.push_back(tree(depth - 1));
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
        if (complete[i]) {
          ++completed;
          EXPECT_TRUE(same_bits(values[i], want)) << "tree " << first + i << " row " << r;
          EXPECT_EQ(err, "") << "tree " << first + i << " row " << r;
        } else {
          ++incomplete;
          // Only a walk that gives up may be left to the node-by-node walk.
          EXPECT_NE(err, "") << "tree " << first + i << " row " << r;
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
  XGBoostModel plain;
  plain.base_score = 0.3;
  for (int t = 0; t < 37; ++t) plain.trees.push_back(gen.tree(4));
  XGBoostModel packed = plain;
  packed.pack();
  ASSERT_NE(packed.packed, nullptr);

  std::vector<std::size_t> indptr = {0};
  CsrMatrix::Indices indices;
  CsrMatrix::Values data;
  for (int r = 0; r < 40; ++r) {
    const std::vector<double> row = gen.row();
    for (std::size_t j = 0; j < kCols; ++j) {
      if (row[j] == 0.0 && !std::signbit(row[j]) && r % 2 == 0) continue;  // unstored zero
      indices.push_back(j);
      data.push_back(row[j]);
    }
    indptr.push_back(indices.size());
  }
  const CsrMatrix x = CsrMatrix::from_sorted_parts(40, kCols, indptr, indices, data);

  CaptureStderr();
  const auto want = plain.predict_proba(x);
  const std::string want_err = GetCapturedStderr();
  CaptureStderr();
  const auto got = packed.predict_proba(x);
  const std::string got_err = GetCapturedStderr();

  ASSERT_EQ(got.size(), want.size());
  for (std::size_t r = 0; r < got.size(); ++r) {
    EXPECT_TRUE(same_bits(got[r].clean_prob, want[r].clean_prob)) << r;
    EXPECT_TRUE(same_bits(got[r].spam_prob, want[r].spam_prob)) << r;
  }
  EXPECT_NE(want_err, "");
  EXPECT_EQ(got_err, want_err);
}

TEST(PackedForest, SingleRowStillTracesAndStaleCopiesAreNotUsed) {
  XGBoostModel m;
  m.base_score = 0.5;
  TreeNode leaf;
  leaf.leaf = 0.5;
  m.trees = {leaf};
  m.pack();
  const CsrMatrix one = CsrMatrix::from_sorted_parts(1, 1, {0, 0}, {}, {});
  CaptureStderr();
  m.predict_proba(one);
  EXPECT_NE(GetCapturedStderr().find("Node 0: LEAF = 0.500000"), std::string::npos);

  // A tree added after pack() is still walked.
  TreeNode other;
  other.leaf = 1.5;
  m.trees.push_back(other);
  const CsrMatrix two = CsrMatrix::from_sorted_parts(2, 1, {0, 0, 0}, {}, {});
  const auto out = m.predict_proba(two);
  EXPECT_EQ(out[0].spam_prob, 1.0 / (1.0 + std::exp(-2.0)));
}

}  // namespace
}  // namespace vesko
