// The field tables of the five model records, and the name matchers that the
// record decoder uses for map keys. The decode_* functions themselves are
// declared in model_files.h.
#ifndef VESKO_MODELS_MODEL_RECORDS_H_
#define VESKO_MODELS_MODEL_RECORDS_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "models/record_decoder.h"

namespace vesko {

const RecordLayout& tfidf_model_spec();
const RecordLayout& naive_bayes_model_spec();
const RecordLayout& logistic_regression_model_spec();
const RecordLayout& linear_svm_model_spec();
const RecordLayout& xgboost_model_spec();

// The field index that `key` names exactly, or the record's field count
// (9, 3, 5, 3, 5) when it names none. Pure.
std::size_t tfidf_model_field_from_name(std::string_view key);
std::size_t naive_bayes_model_field_from_name(std::string_view key);
std::size_t logistic_regression_model_field_from_name(std::string_view key);
std::size_t linear_svm_model_field_from_name(std::string_view key);
std::size_t xgboost_model_field_from_name(std::string_view key);

// The row normalisation of a TfidfModel whose file gives none: "l2".
std::string default_norm();

}  // namespace vesko

#endif  // VESKO_MODELS_MODEL_RECORDS_H_
