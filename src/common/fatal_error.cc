#include "common/fatal_error.h"

namespace vesko {

void throw_index_out_of_bounds(std::size_t len, std::size_t index) {
  throw FatalError(FatalError::Kind::kIndexOutOfBounds,
                   "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                       std::to_string(index));
}

void throw_column_outside_shape() {
  throw FatalError(FatalError::Kind::kOutsideShape, "col indices should be within shape");
}

}  // namespace vesko
