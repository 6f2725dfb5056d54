// Gradient-boosted trees for two classes: base model 4 (word and word-pair
// TF-IDF columns, then its 29 scaled features).
#ifndef VESKO_MODELS_XGBOOST_H_
#define VESKO_MODELS_XGBOOST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/csr_matrix.h"
#include "models/probability_pair.h"
#include "models/tree_node.h"
#include "models/tree_walk.h"

namespace vesko {

class PackedForest;

// The boosted-tree model with its trees converted. Immutable after load; safe
// to share across threads.
struct XGBoostModel {
  std::vector<TreeNode> trees;
  std::uint64_t n_estimators = 0;  // read, not used: every tree is walked
  double learning_rate = 0.0;      // read, not used: leaf values count as they stand
  double base_score = 0.0;         // prior probability of spam
  std::vector<std::string> classes;
  // A flattened copy of `trees` that batches of two or more rows walk instead
  // of the nodes; built by pack(). Results and warnings are the same with and
  // without it. Shared by copies of the model, never changed once built.
  std::shared_ptr<const PackedForest> packed;

  // Builds `packed` from `trees`. Call once the trees are final (after
  // collect_tree_nodes); changing `trees` later requires calling it again.
  // Leaves `packed` empty for a forest beyond 2^31 nodes.
  void pack();

  // One pair per matrix row, in row order. Walks that cannot go on report to
  // `warnings`, in row order and tree order. With `trace`, writes for every
  // row its input, its walk through the first three trees and its raw
  // prediction (meant for a batch of one e-mail). Throws FatalError on a
  // stored column index not below the column count, after the warnings of
  // the rows before it.
  std::vector<ProbabilityPair> predict_proba(const CsrMatrix& x, bool trace,
                                             TreeWarnings& warnings) const;

  // The same with warnings written at once and the trace for a matrix of one
  // row.
  std::vector<ProbabilityPair> predict_proba(const CsrMatrix& x) const;

  // The value of one tree for one dense feature row; `trace` writes the walk.
  static double traverse_tree(const TreeNode& node, std::span<const double> features,
                              std::size_t depth, bool trace, TreeWarnings& warnings);
};

}  // namespace vesko

#endif  // VESKO_MODELS_XGBOOST_H_
