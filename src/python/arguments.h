// Argument handling shared by every Python-callable of the module: each takes
// exactly one required parameter, by position or by keyword, and refuses
// anything else with the TypeError texts Python users already match on.
// Refusals are reported as a pending Python error; running short of memory
// while copying throws std::bad_alloc, which the entry point (entry_point.h)
// raises as MemoryError. Only the interface files include Python.h.
#ifndef VESKO_PYTHON_ARGUMENTS_H_
#define VESKO_PYTHON_ARGUMENTS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/text_views.h"

namespace vesko::py {

// How argument errors name a callable: "RustEnsemble.load()" or "extract_features()".
struct CallableName {
  const char* class_name;  // nullptr for a module function
  const char* function_name;
  const char* parameter;

  std::string full_name() const;
};

// Returns the one argument (borrowed), or nullptr with TypeError set.
PyObject* parse_single_argument(const CallableName& callable, PyObject* args, PyObject* kwargs);

// Sets TypeError "'<type qualname>' object cannot be converted to '<target>'".
void set_conversion_refusal(PyObject* object, const char* target);

// Rewraps a pending exact TypeError as "argument '<parameter>': <message>",
// keeping its __cause__; any other pending error is left as it is.
void wrap_argument_error(const char* parameter);

// A `str` (or subclass) as an owned UTF-8 copy. On failure sets the error,
// already wrapped for `parameter`, and returns nullopt.
std::optional<std::string> extract_string(PyObject* object, const char* parameter);

// A sequence of `str` as UTF-8 views, in iteration order. A `str` itself is
// refused. On failure sets the error, already wrapped for `parameter`, and
// returns nullopt.
std::optional<TextViews> extract_string_list(PyObject* object, const char* parameter);

// Sets RuntimeError with `message` as its only argument, byte for byte (a NUL
// inside the message is kept).
void set_runtime_error(std::string_view message);

// Turns the exception in flight (inside a catch block) into a Python error:
// FatalError and other std::exceptions -> RuntimeError with their message,
// std::bad_alloc -> MemoryError. Always returns nullptr.
PyObject* set_error_from_current_exception();

}  // namespace vesko::py

#endif  // VESKO_PYTHON_ARGUMENTS_H_
