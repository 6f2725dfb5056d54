// TfidfModel: the record of "model1_tfidf.msgpack" to "model4_tfidf.msgpack".
// A plain record, decoded by the model-file decoder and consumed by the
// vectorizer (vocabulary and idf) and the feature scaler (scaler fields).
#ifndef VESKO_TFIDF_TFIDF_MODEL_H_
#define VESKO_TFIDF_TFIDF_MODEL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tfidf/vocabulary.h"

namespace vesko {

struct TfidfModel {
  Vocabulary vocabulary;           // term -> column
  std::vector<double> idf;         // by column
  std::uint64_t max_features = 0;  // read and dropped; limits nothing
  bool sublinear_tf = false;
  std::string norm = "l2";  // "l2", "l1", anything else: no normalisation
  std::optional<std::string> scaler_type;
  std::optional<std::vector<double>> scaler_mean;
  std::optional<std::vector<double>> scaler_scale;
  std::optional<std::vector<double>> scaler_min;
};

}  // namespace vesko

#endif  // VESKO_TFIDF_TFIDF_MODEL_H_
