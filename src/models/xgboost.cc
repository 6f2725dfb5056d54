#include "models/xgboost.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "common/number_format.h"
#include "common/stderr_line.h"
#include "models/packed_forest.h"
#include "models/sparse_scoring.h"
#include "models/tree_walk.h"

namespace vesko {
namespace {

constexpr std::size_t kTracedTrees = 3;
constexpr std::string_view kRule =
    "============================================================";  // 60 '='

void trace_split(const std::string& indent, const TreeNode& node, std::size_t index, double value) {
  write_stderr_line(indent + "Node " + std::to_string(node.nodeid) + ":");
  write_stderr_line(indent + "  Split on " + *node.split + " (idx=" + std::to_string(index) + ")");
  write_stderr_line(indent + "  Feature value: " + format_fixed6(value));
  write_stderr_line(indent + "  Threshold: " + format_fixed6(*node.split_condition));
  write_stderr_line(indent + "  yes=" + format_optional_id(node.yes) + ", no=" +
                    format_optional_id(node.no) + ", missing=" + format_optional_id(node.missing));
}

}  // namespace

// The walk follows the chosen child in a loop rather than by recursion: the
// result of a node is its child's result, so the loop is the same walk without
// a stack frame per level.
double XGBoostModel::traverse_tree(const TreeNode& root, std::span<const double> features,
                                   std::size_t depth, bool trace, TreeWarnings& warnings) {
  const TreeNode* node = &root;
  for (;; ++depth) {
    // A leaf value wins over everything else the node holds.
    if (node->leaf) {
      if (trace) {
        write_stderr_line(std::string(2 * depth, ' ') + "Node " + std::to_string(node->nodeid) +
                          ": LEAF = " + format_fixed6(*node->leaf));
      }
      return *node->leaf;
    }
    if (!node->split || !node->split_condition) return warnings.give_up();

    const std::size_t index = parse_split_index(*node->split);
    const double value = index < features.size() ? features[index] : 0.0;
    const double threshold = *node->split_condition;
    std::string indent;
    if (trace) {
      indent.assign(2 * depth, ' ');
      trace_split(indent, *node, index, value);
    }

    // A zero is what the sparse row holds for an absent term, so it takes the
    // missing branch; NaN compares false and so goes to `no`.
    std::optional<std::size_t> target;
    if (value == 0.0) {
      target = node->missing ? node->missing : node->yes;
      if (trace) {
        write_stderr_line(indent + "  \u2192 MISSING branch (feature is 0.0/sparse) \u2192 Node " +
                          format_optional_id(target));
      }
    } else if (value < threshold) {
      target = node->yes;
      if (trace) {
        write_stderr_line(indent + "  \u2192 YES branch (val < threshold) \u2192 Node " +
                          format_optional_id(target));
      }
    } else {
      target = node->no;
      if (trace) {
        write_stderr_line(indent + "  \u2192 NO branch (val >= threshold) \u2192 Node " +
                          format_optional_id(target));
      }
    }
    if (!target) return warnings.give_up();

    const TreeNode* child = node->child(*target);
    if (child == nullptr) return warnings.give_up(*target);
    node = child;
  }
}

void XGBoostModel::pack() {
  std::optional<PackedForest> forest = PackedForest::build(trees);
  packed = forest ? std::make_shared<const PackedForest>(std::move(*forest)) : nullptr;
}

std::vector<ProbabilityPair> XGBoostModel::predict_proba(const CsrMatrix& x) const {
  TreeWarnings warnings(TreeWarnings::Mode::kWriteAtOnce);
  return predict_proba(x, x.rows() == 1, warnings);
}

std::vector<ProbabilityPair> XGBoostModel::predict_proba(const CsrMatrix& x, bool trace_mode,
                                                         TreeWarnings& warnings) const {
  std::vector<ProbabilityPair> out;
  const std::size_t rows = x.rows();
  if (rows == 0) return out;
  out.reserve(rows);

  const double base_logit = std::log(base_score / (1.0 - base_score));
  const std::size_t k = x.cols();
  // One dense row for the whole call; only the entries a row set are reset.
  // It holds one more entry, always 0.0: what the packed walk reads for a
  // column at or beyond the row's length.
  std::vector<double> buffer(k, 0.0);
  buffer.push_back(0.0);
  const std::span<const double> features(buffer.data(), k);
  // Only the node-by-node walk writes the trace. A packed copy that no longer
  // matches the tree list is not trusted.
  const PackedForest* forest =
      !trace_mode && packed && packed->tree_count() == trees.size() ? packed.get() : nullptr;
  double values[PackedForest::kLanes];
  bool complete[PackedForest::kLanes];

  for (std::size_t r = 0; r < rows; ++r) {
    const std::span<const std::size_t> columns = x.row_indices(r);
    const std::span<const double> data = x.row_values(r);
    check_row_columns(columns, k);
    std::size_t non_zero = 0;
    for (std::size_t e = 0; e < columns.size(); ++e) {
      buffer[columns[e]] = data[e];
      if (data[e] != 0.0) ++non_zero;  // NaN counts as non-zero
    }

    if (trace_mode) {
      write_stderr_line("DEBUG XGBoost: Input features shape: " + std::to_string(k) +
                        ", non-zero: " + std::to_string(non_zero));
      write_stderr_line("DEBUG XGBoost: base_score=" + format_plain(base_score) +
                        ", n_trees=" + std::to_string(trees.size()));
    }

    double tree_sum = 0.0;
    if (forest != nullptr) {
      // Trees are summed one by one in list order whichever way they are walked.
      for (std::size_t first = 0; first < trees.size(); first += PackedForest::kLanes) {
        const std::size_t count = std::min(PackedForest::kLanes, trees.size() - first);
        forest->walk_group(first, count, buffer, values, complete);
        for (std::size_t i = 0; i < count; ++i) {
          const double v = complete[i]
                               ? values[i]
                               : traverse_tree(trees[first + i], features, 0, false, warnings);
          tree_sum = tree_sum + v;
        }
      }
    } else {
      for (std::size_t t = 0; t < trees.size(); ++t) {
        const bool trace = trace_mode && t < kTracedTrees;
        if (trace) {
          write_stderr_line("");
          write_stderr_line(kRule);
          write_stderr_line("TREE " + std::to_string(t) + " TRAVERSAL");
          write_stderr_line(kRule);
        }
        const double v = traverse_tree(trees[t], features, 0, trace, warnings);
        if (trace) {
          write_stderr_line("Tree " + std::to_string(t) + " final leaf value: " + format_fixed6(v));
          write_stderr_line("");
        }
        tree_sum = tree_sum + v;
      }
    }
    const double raw_pred = base_logit + tree_sum;
    if (trace_mode) {
      write_stderr_line("DEBUG XGBoost: base_logit=" + format_fixed6(base_logit) + ", tree_sum=" +
                        format_fixed6(tree_sum) + ", raw_pred=" + format_fixed6(raw_pred));
    }
    const double spam = 1.0 / (1.0 + std::exp(-raw_pred));
    out.push_back({1.0 - spam, spam});

    for (std::size_t j : columns) buffer[j] = 0.0;
  }
  return out;
}

}  // namespace vesko
