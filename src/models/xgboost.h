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

  // False only when pack() found that no row can make any tree's walk give
  // up, so that no call writes a "WARNING: " line and rows may be scored in
  // any order. A model not packed, packed before trees were added or
  // removed, or too large to pack, answers true. Costs nothing per call.
  bool walks_can_give_up() const;

  // One pair per matrix row, in row order. Writes "WARNING: " lines for walks
  // that cannot go on, and a trace of its work when the matrix has exactly one
  // row. Throws FatalError on a stored column index not below the column count.
  std::vector<ProbabilityPair> predict_proba(const CsrMatrix& x) const;

  // The value of one tree for one dense feature row; `trace` writes the walk.
  static double traverse_tree(const TreeNode& node, std::span<const double> features,
                              std::size_t depth, bool trace);
};

}  // namespace vesko

#endif  // VESKO_MODELS_XGBOOST_H_
