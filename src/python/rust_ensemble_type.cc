#include "python/rust_ensemble_type.h"

#include <atomic>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "ensemble/pipeline.h"
#include "ensemble/rust_ensemble.h"
#include "python/arguments.h"
#include "python/entry_point.h"
#include "python/owned_reference.h"
#include "python/results.h"

namespace vesko::py {
namespace {

// The instance layout: header, the ensemble by value, the borrow counter.
struct EnsembleObject {
  PyObject_HEAD RustEnsemble ensemble;
  std::atomic<std::size_t> borrow_flag;
};

constexpr std::size_t kExclusivelyBorrowed = std::numeric_limits<std::size_t>::max();

PyObject* type_cell = nullptr;

void ensure_error_set() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
}

// A shared borrow of the receiver's ensemble, held for one call, with a
// reference to the receiver. Nothing ever borrows exclusively; the counter
// keeps the object's contract with code that inspects it.
class SharedBorrow {
 public:
  static std::optional<SharedBorrow> take(PyObject* receiver) {
    PyObject* type = rust_ensemble_type();
    if (type == nullptr) return std::nullopt;
    if (receiver == nullptr ||
        !PyType_IsSubtype(Py_TYPE(receiver), reinterpret_cast<PyTypeObject*>(type))) {
      set_conversion_refusal(receiver != nullptr ? receiver : Py_None, "RustEnsemble");
      return std::nullopt;
    }
    auto* object = reinterpret_cast<EnsembleObject*>(receiver);
    std::size_t current = object->borrow_flag.load();
    do {
      if (current == kExclusivelyBorrowed) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return std::nullopt;
      }
    } while (!object->borrow_flag.compare_exchange_weak(current, current + 1));
    Py_INCREF(receiver);
    return SharedBorrow(object);
  }

  SharedBorrow(SharedBorrow&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  ~SharedBorrow() {
    if (object_ == nullptr) return;
    object_->borrow_flag.fetch_sub(1);
    release_from_destructor(reinterpret_cast<PyObject*>(object_));
  }

  const RustEnsemble& ensemble() const { return object_->ensemble; }

 private:
  explicit SharedBorrow(EnsembleObject* object) : object_(object) {}
  EnsembleObject* object_;
};

PyObject* string_to_py(const char* text) { return PyUnicode_FromString(text); }

PyObject* label_probability_to_py(const LabelProbability& value) {
  return pair_to_py(string_to_py(value.label), PyFloat_FromDouble(value.probability));
}

PyObject* label_probs_to_py(std::span<const LabelProbability> values) {
  return list_from(values.size(),
                   [&](std::size_t i) { return label_probability_to_py(values[i]); });
}

PyObject* proba_pairs_to_py(const std::vector<ProbabilityPair>& pairs) {
  return list_from(pairs.size(), [&](std::size_t i) {
    return pair_to_py(PyFloat_FromDouble(pairs[i].clean_prob),
                      PyFloat_FromDouble(pairs[i].spam_prob));
  });
}

PyObject* base_and_final_list_to_py(const std::vector<BaseAndFinalPrediction>& predictions) {
  return list_from(predictions.size(), [&](std::size_t i) {
    const BaseAndFinalPrediction& p = predictions[i];
    return pair_to_py(label_probs_to_py(p.base_predictions),
                      label_probability_to_py(p.final_prediction));
  });
}

// The three prediction methods differ only in their body and conversion.
template <typename Body, typename Convert>
PyObject* predict(const CallableName& callable, PyObject* self, PyObject* args, PyObject* kwargs,
                  Body body, Convert convert) {
  PyObject* argument = parse_single_argument(callable, args, kwargs);
  if (argument == nullptr) return nullptr;
  std::optional<SharedBorrow> borrow = SharedBorrow::take(self);
  if (!borrow) return nullptr;
  std::optional<TextViews> emails = extract_string_list(argument, callable.parameter);
  if (!emails) return nullptr;
  // The interpreter lock stays held while pool threads read the e-mails; the
  // calling thread encodes those still to be encoded meanwhile.
  try {
    auto result = body(borrow->ensemble(), emails->views(), &emails->late());
    emails.reset();
    return convert(result);
  } catch (const BatchAbandoned&) {  // one could not be encoded: its error is set
    wrap_argument_error(callable.parameter);
    return nullptr;
  }
}

constexpr CallableName kLoad{"RustEnsemble", "load", "model_dir"};
constexpr CallableName kPredictBatch{"RustEnsemble", "predict_batch", "emails"};
constexpr CallableName kPredictProbaBatch{"RustEnsemble", "predict_proba_batch", "emails"};
constexpr CallableName kPredictWithBaseModels{"RustEnsemble", "predict_with_base_models", "emails"};

PyObject* allocate_instance(RustEnsemble&& ensemble) {
  PyObject* type = rust_ensemble_type();
  if (type == nullptr) return nullptr;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type_object, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* object = alloc(type_object, 0);
  if (object == nullptr) {
    ensure_error_set();
    return nullptr;
  }
  auto* instance = reinterpret_cast<EnsembleObject*>(object);
  new (&instance->ensemble) RustEnsemble(std::move(ensemble));
  new (&instance->borrow_flag) std::atomic<std::size_t>(0);
  return object;
}

PyObject* load(PyObject* /*no receiver*/, PyObject* args, PyObject* kwargs) {
  PyObject* argument = parse_single_argument(kLoad, args, kwargs);
  if (argument == nullptr) return nullptr;
  std::optional<std::string> model_dir = extract_string(argument, kLoad.parameter);
  if (!model_dir) return nullptr;
  Expected<RustEnsemble> ensemble = load_ensemble(*model_dir);
  model_dir.reset();
  if (!ensemble) {
    set_runtime_error(ensemble.error());
    return nullptr;
  }
  return allocate_instance(std::move(ensemble).value());
}

PyObject* predict_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return predict(kPredictBatch, self, args, kwargs, predict_batch_impl,
                 [](const std::vector<LabelProbability>& r) { return label_probs_to_py(r); });
}

PyObject* predict_proba_batch(PyObject* self, PyObject* args, PyObject* kwargs) {
  return predict(kPredictProbaBatch, self, args, kwargs, predict_proba_batch_impl,
                 proba_pairs_to_py);
}

PyObject* predict_with_base_models(PyObject* self, PyObject* args, PyObject* kwargs) {
  return predict(kPredictWithBaseModels, self, args, kwargs, predict_with_base_models_impl,
                 base_and_final_list_to_py);
}

PyObject* refuse_construction(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwargs*/) {
  std::string name = "<unknown>";
  if (PyObject* name_object =
          PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__")) {
    PyObject* bytes = PyUnicode_Check(name_object) ? PyUnicode_AsUTF8String(name_object) : nullptr;
    if (bytes != nullptr) {
      name = PyBytes_AsString(bytes);
      Py_DECREF(bytes);
    }
    Py_DECREF(name_object);
  }
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, ("No constructor defined for " + name).c_str());
  return nullptr;
}

// CPython has no way to report a failure from a deallocator, and there is none
// to report: dropping the ensemble cannot throw.
static_assert(std::is_nothrow_destructible_v<RustEnsemble>);

void deallocate(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<EnsembleObject*>(self)->ensemble.~RustEnsemble();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  // Instances of a heap type hold a reference to it.
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyMethodDef methods[] = {
    {"load", keywords_method<load>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "load(model_dir)\n--\n\nLoad models from directory"},
    {"predict_batch", keywords_method<predict_batch>(), METH_VARARGS | METH_KEYWORDS,
     "predict_batch($self, emails)\n--\n\nPredict batch of emails\n"
     "Returns: Vec of (class, probability)"},
    {"predict_proba_batch", keywords_method<predict_proba_batch>(), METH_VARARGS | METH_KEYWORDS,
     "predict_proba_batch($self, emails)\n--\n\nPredict probabilities for batch of emails\n"
     "Returns: Vec of (clean_prob, spam_prob)"},
    {"predict_with_base_models", keywords_method<predict_with_base_models>(),
     METH_VARARGS | METH_KEYWORDS,
     "predict_with_base_models($self, emails)\n--\n\nPredict with base model predictions "
     "exposed\nReturns: Vec of (base_predictions, final_prediction)\nwhere base_predictions "
     "is Vec of (label, spam_prob) for each of 4 models\nand final_prediction is (label, "
     "spam_prob) from meta-classifier"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kClassDoc[] = "Stacked ensemble of 4 models";

}  // namespace

PyObject* rust_ensemble_type() {
  if (type_cell != nullptr) return type_cell;
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_methods, methods},
      {Py_tp_new, reinterpret_cast<void*>(entry_point<refuse_construction>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(deallocate)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      "builtins.RustEnsemble",
      static_cast<int>(sizeof(EnsembleObject)),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  PyObject* type = PyType_FromSpec(&type_spec);
  if (type == nullptr) {
    ensure_error_set();
    return nullptr;
  }
  type_cell = type;
  return type_cell;
}

void forget_rust_ensemble_type() noexcept { type_cell = nullptr; }

}  // namespace vesko::py
