// The one failure type for conditions that stop a whole call: an index beyond a
// model vector, a sparse matrix whose entries break its shape. Model files are
// trusted to agree with each other and nothing checks that at load time, so a
// prediction that reaches a missing index throws this with the exact message;
// the Python interface raises it as RuntimeError. The kind says what failed,
// for code that must choose between failures without reading their text.
#ifndef VESKO_COMMON_FATAL_ERROR_H_
#define VESKO_COMMON_FATAL_ERROR_H_

#include <cstddef>
#include <stdexcept>
#include <string>

namespace vesko {

class FatalError : public std::runtime_error {
 public:
  enum class Kind {
    kIndexOutOfBounds,  // "index out of bounds: the len is L but the index is I"
    kOutsideShape,      // "col indices should be within shape"
  };

  FatalError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// Throws kIndexOutOfBounds "index out of bounds: the len is <len> but the index is <index>".
[[noreturn]] void throw_index_out_of_bounds(std::size_t len, std::size_t index);

// Throws kOutsideShape "col indices should be within shape".
[[noreturn]] void throw_column_outside_shape();

// Bounds check for reads of model vectors by indices that come from outside data.
inline void check_index(std::size_t index, std::size_t len) {
  if (index >= len) [[unlikely]] {
    throw_index_out_of_bounds(len, index);
  }
}

}  // namespace vesko

#endif  // VESKO_COMMON_FATAL_ERROR_H_
