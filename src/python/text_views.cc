#include "python/text_views.h"

#include <cstdio>
#include <utility>

#include "python/owned_reference.h"

// The module is built for the stable ABI of Python 3.9, where only
// PyUnicode_AsUTF8String gives a string's UTF-8 text, as a fresh copy.
// PyUnicode_AsUTF8AndSize joined the stable ABI in 3.10; given an ASCII
// string it returns the string's own bytes. It is declared weak here and used
// only on 3.10 and later, and only for ASCII strings: given any other string
// it would attach a UTF-8 copy to it for the string's whole life.
extern "C" [[gnu::weak]] const char* PyUnicode_AsUTF8AndSize(PyObject* unicode, Py_ssize_t* size);

namespace vesko::py {
namespace {

bool in_place_views_available() {
  static const bool available = [] {
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return false;
    return PyUnicode_AsUTF8AndSize != nullptr && (major > 3 || (major == 3 && minor >= 10));
  }();
  return available;
}

// str.isascii itself, so that a subclass's override is never asked.
PyObject* look_up_is_ascii() {
  if (!in_place_views_available()) return nullptr;
  PyObject* method =
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "isascii");
  if (method == nullptr) PyErr_Clear();  // then every text is encoded
  return method;
}

// Grows `list` now if a push_back would have to.
template <typename T>
void make_room_for_one(std::vector<T>& list) {
  if (list.size() == list.capacity()) list.reserve(list.empty() ? 16 : 2 * list.size());
}

}  // namespace

TextViews::TextViews(bool defer_encoding)
    : is_ascii_(look_up_is_ascii()), defer_encoding_(defer_encoding) {}

TextViews::~TextViews() {
  for (PyObject* reference : references_) release_from_destructor(reference);
  release_from_destructor(is_ascii_);
}

TextViews::TextViews(TextViews&& other) noexcept
    : references_(std::move(other.references_)),
      views_(std::move(other.views_)),
      is_ascii_(std::exchange(other.is_ascii_, nullptr)),
      defer_encoding_(other.defer_encoding_),
      deferred_(std::move(other.deferred_)),
      deferred_texts_(std::move(other.deferred_texts_)),
      deferred_sizes_(std::move(other.deferred_sizes_)),
      next_deferred_(other.next_deferred_) {
  other.references_.clear();
}

void TextViews::reserve(std::size_t count) {
  references_.reserve(count);
  views_.reserve(count);
}

bool TextViews::append(PyObject* text) {
  // Room first, so that nothing below can fail once a reference is taken.
  make_room_for_one(references_);
  make_room_for_one(views_);
  if (defer_encoding_) {
    make_room_for_one(deferred_);
    make_room_for_one(deferred_texts_);
    make_room_for_one(deferred_sizes_);
  }
  const std::size_t index = views_.size();

  if (is_ascii_ != nullptr) {
    PyObject* answer = PyObject_CallFunctionObjArgs(is_ascii_, text, nullptr);
    if (answer == nullptr) return false;
    const bool ascii = answer == Py_True;
    Py_DECREF(answer);
    if (ascii) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(text, &size);
      if (data == nullptr) return false;
      Py_INCREF(text);
      references_.push_back(text);
      views_.emplace_back(data, static_cast<std::size_t>(size));
      return true;
    }
  }
  if (!defer_encoding_) {
    views_.emplace_back();
    if (encode(text, index)) return true;
    views_.pop_back();
    return false;
  }
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) return false;
  Py_INCREF(text);
  references_.push_back(text);
  views_.emplace_back();
  deferred_.push_back(index);
  deferred_texts_.push_back(text);
  deferred_sizes_.push_back(static_cast<std::size_t>(length));
  return true;
}

bool TextViews::encode(PyObject* text, std::size_t index) {
  PyObject* encoded = PyUnicode_AsUTF8String(text);
  if (encoded == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded, &data, &size) < 0) {
    Py_DECREF(encoded);
    return false;
  }
  references_.push_back(encoded);
  views_[index] = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

const LateEmails& TextViews::late() {
  // Every encoding's reference fits without growing, so that making texts
  // ready, which the pipeline does mid-batch, never allocates but in Python.
  references_.reserve(references_.size() + (deferred_.size() - next_deferred_));
  late_.indices = std::span<const std::size_t>(deferred_).subspan(next_deferred_);
  late_.estimated_sizes = std::span<const std::size_t>(deferred_sizes_).subspan(next_deferred_);
  late_.make_ready = [this](std::size_t index) { return make_ready(index); };
  return late_;
}

bool TextViews::make_ready(std::size_t index) {
  if (next_deferred_ >= deferred_.size() || deferred_[next_deferred_] != index) {
    PyErr_SetString(PyExc_SystemError, "texts made ready out of order");
    return false;
  }
  if (!encode(deferred_texts_[next_deferred_], index)) return false;
  ++next_deferred_;
  return true;
}

bool TextViews::make_all_ready() {
  references_.reserve(references_.size() + (deferred_.size() - next_deferred_));
  while (next_deferred_ < deferred_.size()) {
    if (!make_ready(deferred_[next_deferred_])) return false;
  }
  return true;
}

}  // namespace vesko::py
