#include "models/xgboost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "csr_rows.h"
#include "fatal_message.h"
#include "models/tree_builders.h"
#include "models/tree_walk.h"

namespace vesko {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::string kFallback = "WARNING: XGBoost tree traversal failed - returning 0.0 fallback\n";

using testing_rows::matrix;
using testing_rows::Row;
using testing_trees::leaf;
using testing_trees::split;

// A stump on `feature` < `threshold`: yes -> leaf 1 (1.0), no -> leaf 2 (2.0),
// missing -> leaf 3 (3.0).
TreeNode stump(std::string feature, double threshold) {
  return split(0, std::move(feature), threshold, 1, 2, 3,
               {leaf(1.0, 1), leaf(2.0, 2), leaf(3.0, 3)});
}

// Walks quietly and returns (value, captured stderr).
std::pair<double, std::string> walk(const TreeNode& root, const std::vector<double>& features) {
  CaptureStderr();
  const double v = XGBoostModel::traverse_tree(root, features, 0, false);
  return {v, GetCapturedStderr()};
}

TEST(SplitIndex, ReadsTheColumnAfterTheLeadingFs) {
  // clang-format off
  const std::pair<std::string, std::size_t> cases[] = {
      {"f12", 12}, {"ff12", 12}, {"f+12", 12}, {"f0", 0}, {"f007", 7}, {"+3", 3},
      {"f18446744073709551615", 18446744073709551615u},  // and what reads as column 0:
      {"f18446744073709551616", 0}, {"f99999999999999999999", 0}, {"F12", 0}, {"f-1", 0},
      {"f+", 0}, {"f++1", 0}, {"f 1", 0}, {"f1 ", 0}, {"f", 0}, {"", 0}, {"feature", 0},
      {"f1f", 0}};
  // clang-format on
  for (const auto& [text, index] : cases) EXPECT_EQ(parse_split_index(text), index) << text;
}

TEST(TreeWalk, BranchChoice) {
  TreeNode leaf_and_split = stump("f0", 0.5);
  leaf_and_split.leaf = 9.0;
  const TreeNode deeper =
      split(0, "f0", 0.5, 1, 2, 1,
            {split(1, "f1", 1.5, 3, 4, 3, {leaf(-1.5, 4), leaf(0.5, 3)}), leaf(2.0, 2)});
  const struct {
    const char* name;
    TreeNode root;
    std::vector<double> features;
    double value;
  } cases[] = {
      // clang-format off
      {"below the threshold: yes", stump("f0", 0.5), {0.25}, 1.0},
      {"equal to the threshold: no", stump("f0", 0.5), {0.5}, 2.0},
      {"above: no", stump("f0", 0.5), {7.0}, 2.0},
      {"NaN value: no", stump("f0", 0.5), {kNaN}, 2.0},
      {"NaN threshold: no", stump("f0", kNaN), {0.25}, 2.0},
      {"0.0: missing", stump("f0", 0.5), {0.0}, 3.0},
      {"-0.0: missing", stump("f0", -1.0), {-0.0}, 3.0},
      {"index beyond the row reads 0.0: missing", stump("f5", 0.5), {0.25}, 3.0},
      {"missing absent: yes", split(0, "f0", 0.5, 1, 2, {}, {leaf(1.0, 1), leaf(2.0, 2)}),
       {0.0}, 1.0},
      {"a leaf with a split is a leaf", leaf_and_split, {0.25}, 9.0},
      {"duplicate child ids: the first",
       split(0, "f0", 0.5, 1, 2, {}, {leaf(4.0, 1), leaf(5.0, 1)}), {0.25}, 4.0},
      {"two levels deep", deeper, {0.25, 2.0}, -1.5},
      // clang-format on
  };
  for (const auto& c : cases) {
    auto [value, err] = walk(c.root, c.features);
    EXPECT_EQ(value, c.value) << c.name;
    EXPECT_EQ(err, "") << c.name;
  }
}

// More give-ups, beside those of the packed forest's chain cases.
TEST(TreeWalk, WalksThatCannotGoOnWarnAndGiveZero) {
  TreeNode no_condition = stump("f0", 0.5);
  no_condition.split_condition.reset();
  const struct {
    const char* name;
    TreeNode root;
    double feature;
    std::string err;
  } cases[] = {
      {"no threshold", no_condition, 0.25, kFallback},
      {"no branch without no", split(0, "f0", 0.5, 1, {}, 1, {leaf(1.0, 1)}), 1.0, kFallback},
      // Node 2 exists, but one level further down: ids are looked up among the
      // node's own children only.
      {"target among the grandchildren only",
       split(0, "f0", 0.5, 1, 2, 1, {split(1, "f0", 0.5, 2, 2, 2, {leaf(2.0, 2)})}), 1.0,
       "WARNING: XGBoost tree traversal failed - child node 2 not found\n" + kFallback},
  };
  for (const auto& c : cases) {
    auto [value, err] = walk(c.root, {c.feature});
    EXPECT_EQ(value, 0.0) << c.name;
    EXPECT_EQ(err, c.err) << c.name;
  }
}

// Rows are walked apart, each on its own dense row; only a batch of one row
// is traced, while every row warns.
TEST(XGBoost, RowsAreScoredApartAndWarnWithoutTrace) {
  XGBoostModel m;
  m.base_score = 0.5;
  m.trees = {stump("f0", 0.5), TreeNode{}};  // the second tree always falls back
  CaptureStderr();
  EXPECT_TRUE(m.predict_proba(matrix(3, {})).empty());
  EXPECT_EQ(GetCapturedStderr(), "");
  CaptureStderr();
  // The third row stores nothing in column 0: missing, not the 0.75 before it.
  auto out = m.predict_proba(matrix(2, {{{0, 0.25}}, {{0, 0.75}}, {{1, 0.25}}}));
  EXPECT_EQ(GetCapturedStderr(), kFallback + kFallback + kFallback);
  ASSERT_EQ(out.size(), 3u);
  for (int r = 0; r < 3; ++r) {
    EXPECT_EQ(out[r].spam_prob, 1.0 / (1.0 + std::exp(-(r + 1.0)))) << r;
    EXPECT_EQ(out[r].clean_prob, 1.0 - out[r].spam_prob) << r;
  }
}

TEST(XGBoost, BaseScoreAtAndBeyondTheBounds) {
  XGBoostModel m;
  for (const auto& [base_score, spam] : {std::pair{0.0, 0.0}, {1.0, 1.0}, {0.5, 0.5}}) {
    m.base_score = base_score;
    EXPECT_EQ(m.predict_proba(matrix(1, {{}, {}}))[0].spam_prob, spam) << base_score;
  }
  for (double bad : {-0.5, 1.5, kNaN}) {
    m.base_score = bad;
    const ProbabilityPair out = m.predict_proba(matrix(1, {{}, {}}))[0];
    EXPECT_TRUE(std::isnan(out.spam_prob) && std::isnan(out.clean_prob)) << bad;
  }
}

TEST(XGBoost, ColumnBeyondTheShapeFailsBeforeAnyTraceLine) {
  XGBoostModel m;
  m.base_score = 0.5;
  m.trees = {stump("f0", 0.5)};
  CaptureStderr();
  EXPECT_EQ(fatal_message([&] {
              m.predict_proba(matrix(3, {{{1, 1.0}, {3, 1.0}, {8, 1.0}}}));
            }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(XGBoost, TraceOfASmallForest) {
  XGBoostModel m;
  m.base_score = 0.25;
  m.trees = {
      split(0, "f1", 0.5, 1, 2, 1, {leaf(0.25, 1), leaf(-0.5, 2)}),
      split(0, "f2", 1.0, 1, 2, 2, {leaf(8.0, 1), split(2, "f0", 0.0, 3, 4, {}, {leaf(8.0, 3)})}),
      [] {
        TreeNode n = split(0, "f1", 0.5, 1, 2, 1, {leaf(8.0, 1), leaf(8.0, 2)});
        n.leaf = 0.125;
        return n;
      }(),
      TreeNode{},  // beyond the traced trees: walked quietly, still warns
  };
  CaptureStderr();
  auto out = m.predict_proba(matrix(3, {{{0, kNaN}, {1, 0.75}, {2, 0.0}}}));
  const std::string expected = R"(DEBUG XGBoost: Input features shape: 3, non-zero: 2
DEBUG XGBoost: base_score=0.25, n_trees=4

============================================================
TREE 0 TRAVERSAL
============================================================
Node 0:
  Split on f1 (idx=1)
  Feature value: 0.750000
  Threshold: 0.500000
  yes=Some(1), no=Some(2), missing=Some(1)
  → NO branch (val >= threshold) → Node Some(2)
  Node 2: LEAF = -0.500000
Tree 0 final leaf value: -0.500000


============================================================
TREE 1 TRAVERSAL
============================================================
Node 0:
  Split on f2 (idx=2)
  Feature value: 0.000000
  Threshold: 1.000000
  yes=Some(1), no=Some(2), missing=Some(2)
  → MISSING branch (feature is 0.0/sparse) → Node Some(2)
  Node 2:
    Split on f0 (idx=0)
    Feature value: NaN
    Threshold: 0.000000
    yes=Some(3), no=Some(4), missing=None
    → NO branch (val >= threshold) → Node Some(4)
WARNING: XGBoost tree traversal failed - child node 4 not found
WARNING: XGBoost tree traversal failed - returning 0.0 fallback
Tree 1 final leaf value: 0.000000


============================================================
TREE 2 TRAVERSAL
============================================================
Node 0: LEAF = 0.125000
Tree 2 final leaf value: 0.125000

WARNING: XGBoost tree traversal failed - returning 0.0 fallback
DEBUG XGBoost: base_logit=-1.098612, tree_sum=-0.375000, raw_pred=-1.473612
)";
  EXPECT_EQ(GetCapturedStderr(), expected);
  EXPECT_DOUBLE_EQ(out[0].spam_prob, 0.1863941846776741);
}

TEST(XGBoost, TracedBranchWithoutTargetNamesNone) {
  XGBoostModel m;
  m.base_score = 0.5;
  m.trees = {split(7, "ff3", 0.5, {}, 2, {}, {})};
  CaptureStderr();
  m.predict_proba(matrix(4, {{{3, 0.25}}}));
  const std::string err = GetCapturedStderr();
  EXPECT_NE(err.find(R"(
Node 7:
  Split on ff3 (idx=3)
  Feature value: 0.250000
  Threshold: 0.500000
  yes=None, no=Some(2), missing=None
  → YES branch (val < threshold) → Node None
)" + kFallback + "Tree 0 final leaf value: 0.000000\n"),
            std::string::npos)
      << err;
}

}  // namespace
}  // namespace vesko
