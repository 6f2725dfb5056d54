// XGBoostModelFile: the record of "model4.msgpack" as decoded, each tree
// still a generic value (nlohmann::json, whose objects keep their keys in
// ascending byte order, as the conversion into TreeNodes relies on). It lives
// only between reading the file and collect_tree_nodes, so this header, and
// the JSON library with it, stays out of everything that predicts.
#ifndef VESKO_MODELS_XGBOOST_MODEL_FILE_H_
#define VESKO_MODELS_XGBOOST_MODEL_FILE_H_

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vesko {

struct XGBoostModelFile {
  std::vector<nlohmann::json> trees;
  std::uint64_t n_estimators = 0;
  double learning_rate = 0.0;
  double base_score = 0.0;
  std::vector<std::string> classes;
};

}  // namespace vesko

#endif  // VESKO_MODELS_XGBOOST_MODEL_FILE_H_
