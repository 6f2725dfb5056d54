// A program that embeds Python, imports vesko, finalises the interpreter,
// initialises a new one and imports vesko again. The second interpreter must
// get a working module of its own, not the first one's finalised module with
// every attribute set to None.
//
//   reinitialise_interpreter <directory of the built module> <model directory>
//
// Exits 0 when both lives pass their checks and agree on every result;
// otherwise prints why and exits 1.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <optional>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
// CPython leaves objects behind at finalisation by design; leaks are not what
// this program looks for.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
#endif

namespace {

// Runs in __main__, where module_dir and model_dir are set. `ensemble` stays
// alive into finalisation, so an instance dies with its interpreter too.
constexpr char kLife[] = R"py(
import importlib.util
import os
import sys

module_dir = os.path.abspath(module_dir)
sys.path.insert(0, module_dir)
import vesko

assert vesko.__file__.startswith(module_dir), vesko.__file__
assert isinstance(vesko.RustEnsemble, type), repr(vesko.RustEnsemble)
assert vesko.RustEnsemble.__name__ == "RustEnsemble"
assert importlib.util.module_from_spec(vesko.__spec__) is vesko
emails = ["Subject: FREE money!!!\n\nClick http://bit.ly/x now", "See you at the meeting."]
features = vesko.extract_features_batch(emails)
assert features[0] == vesko.extract_features(emails[0]) and len(features[0]) == 29
ensemble = vesko.RustEnsemble.load(model_dir)
digest = repr((features, ensemble.predict_proba_batch(emails)))
)py";

bool set_main_string(PyObject* main, const char* name, const char* value) {
  PyObject* text = PyUnicode_DecodeFSDefault(value);
  if (text == nullptr) return false;
  int status = PyObject_SetAttrString(main, name, text);
  Py_DECREF(text);
  return status == 0;
}

std::optional<std::string> main_string(PyObject* main, const char* name) {
  PyObject* value = PyObject_GetAttrString(main, name);
  if (value == nullptr) return std::nullopt;
  std::optional<std::string> text;
  if (const char* utf8 = PyUnicode_AsUTF8(value)) text = utf8;
  Py_DECREF(value);
  return text;
}

// One life of the interpreter: the digest of its results, or nullopt once a
// check has failed (with the Python error printed).
std::optional<std::string> live(const char* module_dir, const char* model_dir) {
  Py_Initialize();
  std::optional<std::string> digest;
  PyObject* main = PyImport_AddModule("__main__");  // borrowed
  if (main != nullptr && set_main_string(main, "module_dir", module_dir) &&
      set_main_string(main, "model_dir", model_dir) && PyRun_SimpleString(kLife) == 0) {
    digest = main_string(main, "digest");
  }
  if (PyErr_Occurred()) PyErr_Print();
  if (Py_FinalizeEx() != 0) {
    std::fprintf(stderr, "Py_FinalizeEx failed\n");
    return std::nullopt;
  }
  return digest;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <module directory> <model directory>\n", argv[0]);
    return 2;
  }
  std::optional<std::string> first = live(argv[1], argv[2]);
  if (!first) {
    std::fprintf(stderr, "the first interpreter failed\n");
    return 1;
  }
  std::optional<std::string> second = live(argv[1], argv[2]);
  if (!second) {
    std::fprintf(stderr, "the re-initialised interpreter failed\n");
    return 1;
  }
  if (*first != *second) {
    std::fprintf(stderr, "results differ:\n  first:  %s\n  second: %s\n", first->c_str(),
                 second->c_str());
    return 1;
  }
  return 0;
}
