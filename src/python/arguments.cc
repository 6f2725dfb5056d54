#include "python/arguments.h"

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "common/thread_exit.h"
#include "python/owned_reference.h"

namespace vesko::py {
namespace {

constexpr std::size_t kMaxReservedStrings = 4096;

void set_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

std::optional<std::string> utf8_copy(PyObject* text) {
  OwnedReference bytes(PyUnicode_AsUTF8String(text));
  if (!bytes) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

// The conversion of one item, with the unwrapped refusals.
std::optional<std::string> convert_string(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    set_conversion_refusal(object, "PyString");
    return std::nullopt;
  }
  return utf8_copy(object);
}

// Called with an item's failure pending. Converting item by item, a text
// before it that cannot be encoded would have failed first: its error
// replaces the pending one.
std::nullopt_t report_earlier_encoding_failure(TextViews& texts) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  OwnedReference pending_type(type), pending_value(value), pending_traceback(traceback);
  if (!texts.make_all_ready()) return std::nullopt;
  PyErr_Restore(pending_type.release(), pending_value.release(), pending_traceback.release());
  return std::nullopt;
}

std::optional<TextViews> convert_string_list(PyObject* object) {
  if (PyUnicode_Check(object)) {
    set_type_error("Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(object)) {
    set_conversion_refusal(object, "Sequence");
    return std::nullopt;
  }
  // Iterating an exact list or tuple runs no Python code, so encoding can
  // wait until the pool is at work.
  TextViews texts(/*defer_encoding=*/PyList_CheckExact(object) || PyTuple_CheckExact(object));
  // len() is only a hint: a sequence may claim any length (2**62) and then
  // yield far fewer items, so it never sizes more than a small first block;
  // the lists grow as items really arrive.
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    PyErr_Clear();
  } else {
    texts.reserve(std::min(static_cast<std::size_t>(length), kMaxReservedStrings));
  }
  OwnedReference iterator(PyObject_GetIter(object));
  if (!iterator) return std::nullopt;
  for (;;) {
    // The item before, if releasing it runs code: before the next is read.
    release_dropped_references();
    OwnedReference item(PyIter_Next(iterator.get()));
    if (!item) break;
    if (!PyUnicode_Check(item.get())) {
      set_conversion_refusal(item.get(), "PyString");
      return report_earlier_encoding_failure(texts);
    }
    if (!texts.append(item.get())) return report_earlier_encoding_failure(texts);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return texts;
}

}  // namespace

std::string CallableName::full_name() const {
  std::string name;
  if (class_name != nullptr) {
    name += class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

PyObject* parse_single_argument(const CallableName& callable, PyObject* args, PyObject* kwargs) {
  PyObject* slot = nullptr;
  Py_ssize_t positional = args != nullptr ? PyTuple_Size(args) : 0;
  if (positional > 1) {
    set_type_error(callable.full_name() + " takes 1 positional arguments but " +
                   std::to_string(positional) + " were given");
    return nullptr;
  }
  if (positional == 1) slot = PyTuple_GetItem(args, 0);

  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      std::optional<std::string> name =
          PyUnicode_Check(key) ? utf8_copy(key) : std::optional<std::string>();
      if (!name) PyErr_Clear();
      if (name && *name == callable.parameter) {
        if (slot != nullptr) {
          set_type_error(callable.full_name() + " got multiple values for argument '" +
                         callable.parameter + "'");
          return nullptr;
        }
        slot = value;
        continue;
      }
      OwnedReference shown(PyObject_Str(key));
      std::optional<std::string> text = shown ? utf8_copy(shown.get()) : std::nullopt;
      if (!text) {
        PyErr_Clear();
        text = "<unknown>";
      }
      set_type_error(callable.full_name() + " got an unexpected keyword argument '" + *text + "'");
      return nullptr;
    }
  }

  if (slot == nullptr) {
    set_type_error(callable.full_name() + " missing 1 required positional argument: '" +
                   callable.parameter + "'");
    return nullptr;
  }
  return slot;
}

void set_conversion_refusal(PyObject* object, const char* target) {
  std::string type_name = "<failed to extract type name>";
  OwnedReference qualname(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (qualname && PyUnicode_Check(qualname.get())) {
    if (std::optional<std::string> text = utf8_copy(qualname.get())) type_name = std::move(*text);
  }
  PyErr_Clear();
  set_type_error("'" + type_name + "' object cannot be converted to '" + target + "'");
}

void wrap_argument_error(const char* parameter) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  OwnedReference old_type(type);
  OwnedReference old_value(value);
  OwnedReference old_traceback(traceback);

  std::string message;
  OwnedReference shown(PyObject_Str(old_value.get()));
  if (std::optional<std::string> text = shown ? utf8_copy(shown.get()) : std::nullopt) {
    message = std::move(*text);
  }
  PyErr_Clear();
  OwnedReference cause(old_value ? PyException_GetCause(old_value.get()) : nullptr);

  std::string wrapped = std::string("argument '") + parameter + "': " + message;
  OwnedReference text(
      PyUnicode_FromStringAndSize(wrapped.data(), static_cast<Py_ssize_t>(wrapped.size())));
  if (!text) return;
  OwnedReference new_value(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!new_value) return;  // the failure to build it is the error now
  if (cause) {
    // PyException_SetCause steals the reference.
    Py_INCREF(cause.get());
    PyException_SetCause(new_value.get(), cause.get());
  }
  PyErr_SetObject(PyExc_TypeError, new_value.get());
}

std::optional<std::string> extract_string(PyObject* object, const char* parameter) {
  std::optional<std::string> text = convert_string(object);
  if (!text) wrap_argument_error(parameter);
  return text;
}

std::optional<TextViews> extract_string_list(PyObject* object, const char* parameter) {
  std::optional<TextViews> strings = convert_string_list(object);
  if (!strings) wrap_argument_error(parameter);
  return strings;
}

void set_runtime_error(std::string_view message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;
  PyErr_SetObject(PyExc_RuntimeError, text);
  Py_DECREF(text);
}

PyObject* set_error_from_current_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_runtime_error(error.what());
  } catch (...) {
    if (caught_thread_exit()) throw;
    PyErr_SetString(PyExc_RuntimeError, "unknown internal failure");
  }
  return nullptr;
}

}  // namespace vesko::py
