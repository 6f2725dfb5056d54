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
using testing_rows::matrix;
using testing_trees::Id;
using testing_trees::leaf;
using testing_trees::split;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const std::string kFallback = "WARNING: XGBoost tree traversal failed - returning 0.0 fallback\n";

// A stump on `feature` < `threshold`: yes -> leaf 1 (1.0), no -> leaf 2 (2.0),
// missing -> leaf 3 (3.0).
TreeNode stump(std::string feature, double threshold) {
  return split(0, std::move(feature), threshold, 1, 2, 3,
               {leaf(1.0, 1), leaf(2.0, 2), leaf(3.0, 3)});
}

TreeNode with_leaf(TreeNode node, double value) {
  node.leaf = value;
  return node;
}

TEST(SplitIndex, ReadsTheColumnAfterTheLeadingFs) {
  const std::pair<std::string, std::size_t> cases[] = {
      // clang-format off
      {"f12", 12}, {"ff12", 12}, {"f+12", 12}, {"f007", 7}, {"+3", 3},
      {"f18446744073709551615", 18446744073709551615u},  // and what reads as column 0:
      {"f18446744073709551616", 0}, {"F12", 0}, {"f-1", 0}, {"f+", 0}, {"f++1", 0}, {"f1 ", 0},
      {"f", 0}, {"", 0}, {"f1f", 0}};
  // clang-format on
  for (const auto& [text, index] : cases) EXPECT_EQ(parse_split_index(text), index) << text;
}

TreeNode f0(Id yes, Id no, Id missing, std::vector<TreeNode> children) {
  return split(0, "f0", 0.5, yes, no, missing, std::move(children));
}

// One tree walked quietly on a dense row: its value and the warnings.
TEST(TreeWalk, BranchChoiceAndGiveUps) {
  TreeNode no_threshold = stump("f0", 0.5);
  no_threshold.split_condition.reset();
  const std::string child2 = "WARNING: XGBoost tree traversal failed - child node 2 not found\n";
  const struct {
    const char* name;
    TreeNode root;
    std::vector<double> features;
    double value;
    std::string warnings;
  } cases[] = {
      // clang-format off
      {"below the threshold: yes", stump("f0", 0.5), {0.25}, 1.0, ""},
      {"equal to the threshold: no", stump("f0", 0.5), {0.5}, 2.0, ""},
      {"NaN value: no", stump("f0", 0.5), {kNaN}, 2.0, ""},
      {"NaN threshold: no", stump("f0", kNaN), {0.25}, 2.0, ""},
      {"0.0: missing", stump("f0", 0.5), {0.0}, 3.0, ""},
      {"-0.0: missing", stump("f0", -1.0), {-0.0}, 3.0, ""},
      {"index beyond the row reads 0.0: missing", stump("f5", 0.5), {0.25}, 3.0, ""},
      {"missing absent: yes", f0(1, 2, {}, {leaf(1.0, 1), leaf(2.0, 2)}), {0.0}, 1.0, ""},
      {"a leaf with a split is a leaf", with_leaf(stump("f0", 0.5), 9.0), {0.25}, 9.0, ""},
      {"duplicate child ids: the first", f0(1, 2, {}, {leaf(4, 1), leaf(5, 1)}), {0.25}, 4.0, ""},
      {"no threshold", no_threshold, {0.25}, 0.0, kFallback},
      {"no branch without no", f0(1, {}, 1, {leaf(1.0, 1)}), {1.0}, 0.0, kFallback},
      // Ids are looked up among the node's own children only.
      {"target among the grandchildren only", f0(1, 2, 1, {f0(2, 2, 2, {leaf(2, 2)})}), {1.0}, 0.0,
       child2 + kFallback},
      // clang-format on
  };
  for (const auto& c : cases) {
    TreeWarnings at_once;
    CaptureStderr();
    EXPECT_EQ(XGBoostModel::traverse_tree(c.root, c.features, 0, false, at_once), c.value)
        << c.name;
    EXPECT_EQ(GetCapturedStderr(), c.warnings) << c.name;
  }
}

// Rows are walked apart, each on its own dense row; only a batch of one row
// is traced, while every row warns.
TEST(XGBoost, RowsScoredApartWarnWithoutTraceFromTheBaseScore) {
  XGBoostModel m;
  m.base_score = 0.5;
  m.trees = {stump("f0", 0.5), TreeNode{}};  // the second tree always falls back
  CaptureStderr();
  EXPECT_TRUE(m.predict_proba(matrix(3, {})).empty());
  // The third row stores nothing in column 0: missing, not the 0.75 before it.
  auto out = m.predict_proba(matrix(2, {{{0, 0.25}}, {{0, 0.75}}, {{1, 0.25}}}));
  EXPECT_EQ(GetCapturedStderr(), kFallback + kFallback + kFallback);
  for (int r = 0; r < 3; ++r) {
    EXPECT_TRUE(out.at(r).spam_prob == 1.0 / (1.0 + std::exp(-(r + 1.0))) &&
                out[r].clean_prob == 1.0 - out[r].spam_prob)
        << r;
  }
  // A column beyond the shape fails before any trace line.
  const CsrMatrix beyond = matrix(3, {{{1, 1.0}, {3, 1.0}, {8, 1.0}}});
  CaptureStderr();
  EXPECT_EQ(fatal_message([&] { m.predict_proba(beyond); }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(GetCapturedStderr(), "");

  // The base score at its bounds gives 0 and 1, beyond them NaN.
  m.trees.clear();
  for (double base_score : {0.0, 1.0, -0.5, 1.5, kNaN}) {
    m.base_score = base_score;
    const ProbabilityPair out = m.predict_proba(matrix(1, {{}, {}}))[0];
    EXPECT_TRUE(base_score >= 0.0 && base_score <= 1.0
                    ? out.spam_prob == base_score
                    : std::isnan(out.spam_prob) && std::isnan(out.clean_prob))
        << base_score;
  }
}

// Warnings kept for later are the lines written at once, in the same order,
// whichever way the trees are walked; a scoring that fails on a row keeps
// those of the rows before it.
TEST(XGBoost, KeptWarningsAreTheLinesWrittenAtOnce) {
  XGBoostModel m;
  m.base_score = 0.5;
  // Rows at or above 0.5 miss child 9; every row falls back on the second tree.
  m.trees = {f0(1, 9, 1, {leaf(1.0, 1)}), TreeNode{}};
  const CsrMatrix x = matrix(2, {{{0, 0.75}}, {{0, 0.25}}, {{0, 0.75}}, {{0, 0.5}, {5, 1.0}}});
  const std::string child9 = "WARNING: XGBoost tree traversal failed - child node 9 not found\n";
  const std::string expected =
      child9 + kFallback + kFallback + kFallback + child9 + kFallback + kFallback;
  const std::string failure = "index out of bounds: the len is 2 but the index is 5";
  for (const bool packed : {false, true}) {
    if (packed) m.pack();
    CaptureStderr();
    EXPECT_EQ(fatal_message([&] { m.predict_proba(x); }), failure);
    EXPECT_EQ(GetCapturedStderr(), expected) << packed;
    TreeWarnings kept(TreeWarnings::Mode::kKeep);
    CaptureStderr();
    EXPECT_EQ(fatal_message([&] { m.predict_proba(x, false, kept); }), failure);
    EXPECT_EQ(GetCapturedStderr(), "") << packed;
    CaptureStderr();
    kept.write();
    kept.write();  // written once
    EXPECT_EQ(GetCapturedStderr(), expected) << packed;
  }
}

TEST(XGBoost, TraceOfASmallForest) {
  XGBoostModel m;
  m.base_score = 0.25;
  m.trees = {
      split(7, "ff1", 1.0, {}, 2, {}, {leaf(-0.5, 2)}),
      split(0, "f2", 1.0, 1, 2, 2,
            {leaf(8.0, 1), split(2, "f0", 0.0, 3, 4, {}, {leaf(-0.375, 4)})}),
      with_leaf(stump("f1", 0.5), 0.125),
      TreeNode{},  // beyond the traced trees: walked quietly, still warns
  };
  CaptureStderr();
  auto out = m.predict_proba(matrix(3, {{{0, kNaN}, {1, 0.75}, {2, 0.0}}}));
  const std::string expected = R"(DEBUG XGBoost: Input features shape: 3, non-zero: 2
DEBUG XGBoost: base_score=0.25, n_trees=4

============================================================
TREE 0 TRAVERSAL
============================================================
Node 7:
  Split on ff1 (idx=1)
  Feature value: 0.750000
  Threshold: 1.000000
  yes=None, no=Some(2), missing=None
  → YES branch (val < threshold) → Node None
WARNING: XGBoost tree traversal failed - returning 0.0 fallback
Tree 0 final leaf value: 0.000000


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
    Node 4: LEAF = -0.375000
Tree 1 final leaf value: -0.375000


============================================================
TREE 2 TRAVERSAL
============================================================
Node 0: LEAF = 0.125000
Tree 2 final leaf value: 0.125000

WARNING: XGBoost tree traversal failed - returning 0.0 fallback
DEBUG XGBoost: base_logit=-1.098612, tree_sum=-0.250000, raw_pred=-1.348612
)";
  EXPECT_EQ(GetCapturedStderr(), expected);
  EXPECT_DOUBLE_EQ(out[0].spam_prob, 0.2060973382244291);
}

}  // namespace
}  // namespace vesko
