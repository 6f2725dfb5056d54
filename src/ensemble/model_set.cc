#include "ensemble/model_set.h"

#include <utility>

#include "models/model_files.h"

namespace vesko {
namespace {

BaseModel make_base_model(TfidfModel&& tfidf, TokenizerMode mode, Classifier classifier) {
  FeatureScaler scaler = FeatureScaler::from_tfidf_model(tfidf);
  return BaseModel{TfidfVectorizer::from_model(std::move(tfidf), mode), std::move(scaler),
                   std::move(classifier)};
}

}  // namespace

Expected<RustEnsemble> assemble_ensemble(ModelSet records) {
  Expected<XGBoostModel> trees = collect_tree_nodes(std::move(records.model4));
  if (!trees) return Failure{trees.take_error()};
  trees->pack();  // the flat forest that batch walks use; also tells whether walks can give up

  std::array<TfidfModel, 4>& tfidf = records.tfidf;
  RustEnsemble ensemble{
      {
          make_base_model(std::move(tfidf[0]), TokenizerMode::WordUnigrams,
                          std::move(records.model1)),
          make_base_model(std::move(tfidf[1]), TokenizerMode::WordBigrams,
                          std::move(records.model2)),
          make_base_model(std::move(tfidf[2]), TokenizerMode::CharTrigrams,
                          std::move(records.model3)),
          make_base_model(std::move(tfidf[3]), TokenizerMode::WordUnigramsAndBigrams,
                          std::move(trees).value()),
      },
      std::move(records.meta_classifier),
      true,
  };
  // The vectorizers of words, of word pairs and of both read the same words;
  // with one index they are counted together, each word and pair looked up
  // once for all three.
  TfidfVectorizer* word_vectorizers[] = {&ensemble.base_models[0].vectorizer,
                                         &ensemble.base_models[1].vectorizer,
                                         &ensemble.base_models[3].vectorizer};
  TfidfVectorizer::share_term_index(word_vectorizers);
  return ensemble;
}

}  // namespace vesko
