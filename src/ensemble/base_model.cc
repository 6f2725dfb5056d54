#include "ensemble/base_model.h"

namespace vesko {

std::vector<ProbabilityPair> BaseModel::predict_proba(const CsrMatrix& joined) const {
  return std::visit([&joined](const auto& model) { return model.predict_proba(joined); },
                    classifier);
}

bool BaseModel::may_warn() const {
  const auto* trees = std::get_if<XGBoostModel>(&classifier);
  return trees != nullptr && trees->walks_can_give_up();
}

}  // namespace vesko
