#include "python/text_views.h"

#include <cstdio>
#include <utility>

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

TextViews::TextViews() : is_ascii_(look_up_is_ascii()) {}

TextViews::~TextViews() {
  for (PyObject* reference : references_) Py_DECREF(reference);
  Py_XDECREF(is_ascii_);
}

TextViews::TextViews(TextViews&& other) noexcept
    : references_(std::move(other.references_)),
      views_(std::move(other.views_)),
      is_ascii_(std::exchange(other.is_ascii_, nullptr)) {
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
  PyObject* encoded = PyUnicode_AsUTF8String(text);
  if (encoded == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded, &data, &size) < 0) {
    Py_DECREF(encoded);
    return false;
  }
  references_.push_back(encoded);
  views_.emplace_back(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace vesko::py
