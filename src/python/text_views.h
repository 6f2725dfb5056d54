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

#include "ensemble/pipeline.h"

namespace vesko::py {

// Holds a reference to each string appended, and to its UTF-8 encoding when
// one is made, for as long as it lives, so the views stay valid whatever
// happens to the caller's containers. Made, used and destroyed with the
// interpreter lock held; it releases them as a destructor must
// (owned_reference.h).
//
// A string that must be encoded (it is not ASCII, or the interpreter cannot
// lend its bytes) is encoded when appended, unless encoding is deferred: then
// it is encoded by make_ready, which the pipeline calls on the calling thread,
// outside the pool, while the pool already works on the texts before it.
// Encoding may run Python code (a codec error handler), which may do anything
// a Python program can, vesko's own calls included. Deferring is only
// sound where nothing could observe the order: when appending runs no Python
// code (the items of an exact list or tuple), so that encoding later instead
// of between two items changes nothing but when the work is done.
class TextViews {
 public:
  explicit TextViews(bool defer_encoding);
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

  // Every view; those of deferred texts are empty until made ready.
  std::span<const std::string_view> views() const { return views_; }

  // The deferred texts, for the pipeline to make ready as it needs them.
  // Valid while this lives; throws std::bad_alloc.
  const LateEmails& late();

  // Encodes every deferred text not yet encoded, in order. Returns false
  // with the interpreter's error set at the first that fails.
  bool make_all_ready();

 private:
  // Encodes deferred text `index`, the next in order; false with the error
  // set.
  bool make_ready(std::size_t index);
  // Encodes `text` and views it as text `index`; false with the error set.
  // There must be room in references_ for the encoding.
  bool encode(PyObject* text, std::size_t index);

  std::vector<PyObject*> references_;  // owned: the strings and encodings
  std::vector<std::string_view> views_;
  PyObject* is_ascii_ = nullptr;  // str.isascii, when ASCII strings can be viewed in place
  bool defer_encoding_;
  std::vector<std::size_t> deferred_;        // indices of the texts to encode later, ascending
  std::vector<PyObject*> deferred_texts_;    // those texts (their references are held above)
  std::vector<std::size_t> deferred_sizes_;  // their lengths in code points
  std::size_t next_deferred_ = 0;            // the first of them not yet encoded
  LateEmails late_;
};

}  // namespace vesko::py

#endif  // VESKO_PYTHON_TEXT_VIEWS_H_
