// The field tables of the five model records, and their decoders (declared
// in model_files.h).
#include "models/model_files.h"
#include "models/record_decoder.h"

namespace vesko {
namespace {

// Field order is the array order and the integer key of each field: files
// written by the training scripts depend on it, so never reorder.
constexpr FieldLayout kTfidfFields[] = {
    field_layout<&TfidfModel::vocabulary>("vocabulary", true),
    field_layout<&TfidfModel::idf>("idf", true),
    field_layout<&TfidfModel::max_features>("max_features", true),
    field_layout<&TfidfModel::sublinear_tf>("sublinear_tf", false),
    field_layout<&TfidfModel::norm>("norm", false),
    field_layout<&TfidfModel::scaler_type>("scaler_type", false),
    field_layout<&TfidfModel::scaler_mean>("scaler_mean", false),
    field_layout<&TfidfModel::scaler_scale>("scaler_scale", false),
    field_layout<&TfidfModel::scaler_min>("scaler_min", false),
};

constexpr FieldLayout kNaiveBayesFields[] = {
    field_layout<&NaiveBayesModel::feature_log_prob>("feature_log_prob", true),
    field_layout<&NaiveBayesModel::class_log_prior>("class_log_prior", true),
    field_layout<&NaiveBayesModel::classes>("classes", true),
};

constexpr FieldLayout kLogisticFields[] = {
    field_layout<&LogisticRegressionModel::coef>("coef", true),
    field_layout<&LogisticRegressionModel::intercept>("intercept", true),
    field_layout<&LogisticRegressionModel::classes>("classes", true),
    field_layout<&LogisticRegressionModel::scaler_mean>("scaler_mean", false),
    field_layout<&LogisticRegressionModel::scaler_scale>("scaler_scale", false),
};

constexpr FieldLayout kLinearSvmFields[] = {
    field_layout<&LinearSVMModel::coef>("coef", true),
    field_layout<&LinearSVMModel::intercept>("intercept", true),
    field_layout<&LinearSVMModel::classes>("classes", true),
};

constexpr FieldLayout kXgboostFields[] = {
    field_layout<&XGBoostModelFile::trees>("trees", true),
    field_layout<&XGBoostModelFile::n_estimators>("n_estimators", true),
    field_layout<&XGBoostModelFile::learning_rate>("learning_rate", true),
    field_layout<&XGBoostModelFile::base_score>("base_score", true),
    field_layout<&XGBoostModelFile::classes>("classes", true),
};

// Arrays may stop after the required fields of TfidfModel and
// LogisticRegressionModel; the other records must be given whole.
constexpr RecordLayout kTfidfSpec{"TfidfModel", kTfidfFields, 3};
constexpr RecordLayout kNaiveBayesSpec{"NaiveBayesModel", kNaiveBayesFields, 3};
constexpr RecordLayout kLogisticSpec{"LogisticRegressionModel", kLogisticFields, 3};
constexpr RecordLayout kLinearSvmSpec{"LinearSVMModel", kLinearSvmFields, 3};
constexpr RecordLayout kXgboostSpec{"XGBoostModel", kXgboostFields, 5};

}  // namespace

Expected<TfidfModel> decode_tfidf_model(std::span<const std::uint8_t> bytes) {
  return decode_record_bytes<TfidfModel>(bytes, kTfidfSpec);
}

Expected<NaiveBayesModel> decode_naive_bayes_model(std::span<const std::uint8_t> bytes) {
  return decode_record_bytes<NaiveBayesModel>(bytes, kNaiveBayesSpec);
}

Expected<LogisticRegressionModel> decode_logistic_regression_model(
    std::span<const std::uint8_t> bytes) {
  return decode_record_bytes<LogisticRegressionModel>(bytes, kLogisticSpec);
}

Expected<LinearSVMModel> decode_linear_svm_model(std::span<const std::uint8_t> bytes) {
  return decode_record_bytes<LinearSVMModel>(bytes, kLinearSvmSpec);
}

Expected<XGBoostModelFile> decode_xgboost_model(std::span<const std::uint8_t> bytes) {
  return decode_record_bytes<XGBoostModelFile>(bytes, kXgboostSpec);
}

}  // namespace vesko
