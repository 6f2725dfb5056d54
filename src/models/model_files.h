// Reading model files: open, read whole into memory, decode one record, close.
// Each reader returns the record, or one message: "Failed to open ",
// "Failed to read " or "Failed to deserialize ", the path, ": " and the cause.
// Any byte string yields a record or a message; nothing else can happen.
#ifndef VESKO_MODELS_MODEL_FILES_H_
#define VESKO_MODELS_MODEL_FILES_H_

#include <cstdint>
#include <span>
#include <string>

#include "common/expected.h"
#include "models/logistic.h"
#include "models/naive_bayes.h"
#include "models/svm.h"
#include "models/xgboost.h"
#include "models/xgboost_model_file.h"
#include "tfidf/tfidf_model.h"

namespace vesko {

// Decoders over a whole file's bytes; the error is the decoder's own message,
// without a path.
Expected<TfidfModel> decode_tfidf_model(std::span<const std::uint8_t> bytes);
Expected<NaiveBayesModel> decode_naive_bayes_model(std::span<const std::uint8_t> bytes);
Expected<LogisticRegressionModel> decode_logistic_regression_model(
    std::span<const std::uint8_t> bytes);
Expected<LinearSVMModel> decode_linear_svm_model(std::span<const std::uint8_t> bytes);
Expected<XGBoostModelFile> decode_xgboost_model(std::span<const std::uint8_t> bytes);

// Readers over a path (bytes, as given; need not be valid UTF-8). Symbolic
// links are followed; what they lead to must be a regular file: a directory
// fails as reading it does ("Is a directory (os error 21)"), anything else (a
// FIFO, a device) with "Failed to read <path>: not a regular file", before
// any read that could wait or never end.
Expected<TfidfModel> load_tfidf_model(const std::string& path);
Expected<NaiveBayesModel> load_naive_bayes_model(const std::string& path);
Expected<LogisticRegressionModel> load_logistic_regression_model(const std::string& path);
Expected<LinearSVMModel> load_linear_svm_model(const std::string& path);
Expected<XGBoostModelFile> load_xgboost_model(const std::string& path);

// Converts every tree value into TreeNodes; on the first failure the message
// is "Failed to deserialize tree: " + the cause.
Expected<XGBoostModel> collect_tree_nodes(XGBoostModelFile model);

}  // namespace vesko

#endif  // VESKO_MODELS_MODEL_FILES_H_
