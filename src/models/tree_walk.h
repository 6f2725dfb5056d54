// Pieces of the boosted-tree walk shared by the node-by-node walk and the
// packed forest: how a node's `split` names its feature column, and the two
// warnings of a walk that cannot go on.
#ifndef VESKO_MODELS_TREE_WALK_H_
#define VESKO_MODELS_TREE_WALK_H_

#include <cstddef>
#include <string_view>

namespace vesko {

// The column a split such as "f12" tests: every leading lower-case 'f' is
// dropped and the rest read as an unsigned decimal of at most 64 bits, with
// an optional leading '+'. Anything else (an empty rest, a lone sign, another
// character, an overflowing number) reads as column 0, which is what the
// trained models have always been scored with. Never fails; thread-safe.
std::size_t parse_split_index(std::string_view split);

// "WARNING: XGBoost tree traversal failed - child node <id> not found".
void warn_missing_child(std::size_t id);

// Writes "WARNING: XGBoost tree traversal failed - returning 0.0 fallback" and
// returns the 0.0 that a tree contributes when its walk cannot go on.
double fallback_with_warning();

}  // namespace vesko

#endif  // VESKO_MODELS_TREE_WALK_H_
