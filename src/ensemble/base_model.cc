#include "ensemble/base_model.h"

#include <type_traits>

namespace vesko {

std::vector<ProbabilityPair> BaseModel::predict_proba(const CsrMatrix& joined, bool trace,
                                                      TreeWarnings& warnings) const {
  return std::visit(
      [&](const auto& model) {
        if constexpr (std::is_same_v<std::decay_t<decltype(model)>, XGBoostModel>) {
          return model.predict_proba(joined, trace, warnings);
        } else {
          return model.predict_proba(joined);
        }
      },
      classifier);
}

}  // namespace vesko
