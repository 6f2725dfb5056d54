// Pieces of the boosted-tree walk that do not depend on the model: how a
// node's `split` names its feature column.
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

}  // namespace vesko

#endif  // VESKO_MODELS_TREE_WALK_H_
