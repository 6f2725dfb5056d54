// The whole model set, structure-aware: the fuzzer's bytes become nine model
// files (model_set_writer.h), which are decoded and assembled as load does;
// then a few e-mails go through the three prediction methods.
//
// Findings: a crash or sanitizer report; an exception other than FatalError
// or bad_alloc; a decode or tree failure without its message; the three
// methods disagreeing with each other; or a batch disagreeing with its
// e-mails predicted one at a time (a batch walks the packed forest, a single
// e-mail the tree nodes, with the trace on).
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/common_interface_defs.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/fatal_error.h"
#include "ensemble/model_set.h"
#include "ensemble/pipeline.h"
#include "ensemble/rust_ensemble.h"
#include "model_set_writer.h"
#include "models/model_files.h"

namespace vesko::fuzz {
namespace {

// Names what broke where the reports go (standard error is closed for the
// code under test), then stops as a crash does.
[[noreturn]] void finding(const char* what) {
  __sanitizer_report_error_summary(what);
  __builtin_trap();
}

// What one prediction method gave: its results as bits, or the message of
// the FatalError it threw.
struct Outcome {
  bool failed = false;
  std::string message;
  std::vector<std::uint64_t> bits;
};

std::uint64_t bits_of(double v) { return std::bit_cast<std::uint64_t>(v); }

template <typename Call>
Outcome run(Call call) {
  Outcome outcome;
  try {
    call(outcome.bits);
  } catch (const FatalError& error) {
    outcome.failed = true;
    outcome.message = error.what();
    outcome.bits.clear();
  } catch (const std::bad_alloc&) {
    outcome.failed = true;
    outcome.message = "bad_alloc";
    outcome.bits.clear();
  } catch (...) {
    finding("an exception other than FatalError or bad_alloc");
  }
  return outcome;
}

// The three methods over one batch, each reduced to the final (label, spam
// probability) per e-mail so they can be compared; the base models' verdicts
// are kept from predict_with_base_models.
struct BatchOutcome {
  Outcome labels, pairs, with_base;
};

BatchOutcome predict_all(const RustEnsemble& ensemble, EmailBatch emails) {
  BatchOutcome out;
  out.labels = run([&](std::vector<std::uint64_t>& bits) {
    for (const LabelProbability& r : predict_batch_impl(ensemble, emails)) {
      bits.push_back(std::strcmp(r.label, "spam") == 0);
      bits.push_back(bits_of(r.probability));
    }
  });
  out.pairs = run([&](std::vector<std::uint64_t>& bits) {
    for (const ProbabilityPair& p : predict_proba_batch_impl(ensemble, emails)) {
      bits.push_back(bits_of(p.clean_prob));
      bits.push_back(bits_of(p.spam_prob));
    }
  });
  out.with_base = run([&](std::vector<std::uint64_t>& bits) {
    for (const BaseAndFinalPrediction& p : predict_with_base_models_impl(ensemble, emails)) {
      for (const LabelProbability& b : p.base_predictions) {
        bits.push_back(std::strcmp(b.label, "spam") == 0);
        bits.push_back(bits_of(b.probability));
      }
      bits.push_back(std::strcmp(p.final_prediction.label, "spam") == 0);
      bits.push_back(bits_of(p.final_prediction.probability));
    }
  });
  return out;
}

// The three methods run the same steps, so they fail alike or agree on
// every e-mail: the label follows the pair, and predict_with_base_models
// ends with the same label and spam probability.
void check_agreement(const BatchOutcome& out, std::size_t n) {
  if (out.labels.failed || out.pairs.failed || out.with_base.failed) {
    if (!out.labels.failed || !out.pairs.failed || !out.with_base.failed) {
      finding("one method fails where another does not");
    }
    if (out.labels.message != out.pairs.message || out.pairs.message != out.with_base.message) {
      finding("the three methods fail with different messages");
    }
    return;
  }
  if (out.labels.bits.size() != 2 * n || out.pairs.bits.size() != 2 * n ||
      out.with_base.bits.size() != 10 * n) {
    finding("a result per e-mail is missing");
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double clean = std::bit_cast<double>(out.pairs.bits[2 * i]);
    const double spam = std::bit_cast<double>(out.pairs.bits[2 * i + 1]);
    const bool is_spam = spam > clean;
    const std::uint64_t probability = bits_of(is_spam ? spam : clean);
    if (out.labels.bits[2 * i] != is_spam || out.labels.bits[2 * i + 1] != probability) {
      finding("predict_batch disagrees with predict_proba_batch");
    }
    if (out.with_base.bits[10 * i + 8] != is_spam ||
        out.with_base.bits[10 * i + 9] != bits_of(spam)) {
      finding("predict_with_base_models disagrees with predict_proba_batch");
    }
  }
}

}  // namespace
}  // namespace vesko::fuzz

// Every batch of one e-mail writes its trace to standard error: libFuzzer
// keeps its own output and the sanitizers' reports on a copy of the stream
// and closes the original for the code under test.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args(*argv, *argv + *argc);
  static char close_stderr[] = "-close_fd_mask=2";
  for (char* arg : args) {
    if (std::string_view(arg).starts_with("-close_fd_mask=")) return 0;
  }
  args.insert(args.begin() + 1, close_stderr);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size() - 1);
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vesko;
  FuzzedDataProvider in(data, size);
  fuzz::ModelSetWriter writer(in);

  std::size_t columns[4];
  std::vector<std::uint8_t> files[9];
  for (int m = 0; m < 4; ++m) files[m] = writer.bytes_of(writer.tfidf(m + 1, columns[m]));
  files[4] = writer.bytes_of(writer.naive_bayes(columns[0]));
  files[5] = writer.bytes_of(writer.logistic(columns[1] + fuzz::kFeatures));
  files[6] = writer.bytes_of(writer.svm(columns[2]));
  files[7] = writer.bytes_of(writer.xgboost(columns[3]));
  files[8] = writer.bytes_of(writer.logistic(8 + fuzz::kFeatures));

  // Decoded in load's order; the first failure ends the load with a message.
  ModelSet records;
  auto take = [](auto decoded, auto& into) {
    if (!decoded) {
      if (decoded.error().empty()) fuzz::finding("a decode failure without a message");
      return false;
    }
    into = std::move(decoded).value();
    return true;
  };
  for (int m = 0; m < 4; ++m) {
    if (!take(decode_tfidf_model(files[m]), records.tfidf[m])) return 0;
  }
  if (!take(decode_naive_bayes_model(files[4]), records.model1) ||
      !take(decode_logistic_regression_model(files[5]), records.model2) ||
      !take(decode_linear_svm_model(files[6]), records.model3) ||
      !take(decode_xgboost_model(files[7]), records.model4) ||
      !take(decode_logistic_regression_model(files[8]), records.meta_classifier)) {
    return 0;
  }
  Expected<RustEnsemble> ensemble = assemble_ensemble(std::move(records));
  if (!ensemble) {
    if (!ensemble.error().starts_with("Failed to deserialize tree: ")) {
      fuzz::finding("an assembly failure that is not a tree's");
    }
    return 0;
  }
  const RustEnsemble& model = ensemble.value();

  // A batch of several, then each of its e-mails alone, then none.
  std::vector<std::string> texts(in.ConsumeIntegralInRange<std::size_t>(1, 5));
  for (std::string& text : texts) text = writer.email();
  const std::vector<std::string_view> emails(texts.begin(), texts.end());
  const fuzz::BatchOutcome batch = fuzz::predict_all(model, emails);
  fuzz::check_agreement(batch, emails.size());
  if (emails.size() > 1) {
    bool any_single_failed = false;
    for (std::size_t i = 0; i < emails.size(); ++i) {
      const fuzz::BatchOutcome single = fuzz::predict_all(model, {&emails[i], 1});
      fuzz::check_agreement(single, 1);
      any_single_failed |= single.pairs.failed;
      if (batch.pairs.failed) continue;
      if (single.pairs.failed) fuzz::finding("an e-mail fails alone but not in its batch");
      // A batch walks the packed forest, a single e-mail the nodes: the same
      // numbers either way.
      const auto row = [&](const fuzz::Outcome& o, std::size_t width) {
        return std::vector<std::uint64_t>(o.bits.begin() + width * i,
                                          o.bits.begin() + width * (i + 1));
      };
      if (row(batch.pairs, 2) != single.pairs.bits ||
          row(batch.with_base, 10) != single.with_base.bits) {
        fuzz::finding("an e-mail's result in a batch differs from its result alone");
      }
    }
    // A failing batch fails on one of its e-mails.
    if (batch.pairs.failed && !any_single_failed) {
      fuzz::finding("a batch fails, none of its e-mails");
    }
  }
  const fuzz::BatchOutcome none = fuzz::predict_all(model, {});
  fuzz::check_agreement(none, 0);
  if (none.pairs.failed) fuzz::finding("an empty batch fails");
  return 0;
}
