// The texts of a batch of Python strings as UTF-8 views, made without
// copying where the interpreter allows it. Pool threads read the views while
// the calling thread holds the interpreter lock, so no string can change or
// go away under them.
#ifndef VESKO_PYTHON_TEXT_VIEWS_H_
#define VESKO_PYTHON_TEXT_VIEWS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>
#include <string_view>
#include <vector>

namespace vesko::py {

// Holds a reference to each string appended, or to its UTF-8 encoding, for
// as long as it lives, so the views stay valid whatever happens to the
// caller's containers. Made, used and destroyed with the interpreter lock held.
class TextViews {
 public:
  TextViews();
  ~TextViews();
  TextViews(TextViews&& other) noexcept;
  TextViews& operator=(TextViews&&) = delete;
  TextViews(const TextViews&) = delete;
  TextViews& operator=(const TextViews&) = delete;

  // Room for `count` texts (a hint; the lists grow as texts arrive).
  void reserve(std::size_t count);

  // Appends the text of `text`, a str or an instance of a subclass. Returns
  // false with the interpreter's error set (UnicodeEncodeError for a lone
  // surrogate, MemoryError); throws std::bad_alloc when its own lists cannot
  // grow.
  bool append(PyObject* text);

  std::span<const std::string_view> views() const { return views_; }

 private:
  std::vector<PyObject*> references_;  // owned: the strings viewed and the encodings
  std::vector<std::string_view> views_;
  PyObject* is_ascii_ = nullptr;  // str.isascii, when ASCII strings can be viewed in place
};

}  // namespace vesko::py

#endif  // VESKO_PYTHON_TEXT_VIEWS_H_
