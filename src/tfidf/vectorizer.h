// TfidfVectorizer: a batch of texts -> a CsrMatrix of TF-IDF values, one row
// per text, one column per vocabulary entry. Every value is computed with the
// same operations in the same order as when the models were trained, so the
// classifiers see bit-identical inputs:
//   weight  c / N (count of the column over the number of ALL terms of the
//           text, found or not, both as doubles), or 1 + ln(c) with sublinear_tf;
//   value   weight * idf[column];
//   norm    "l2": s = sum of squares in ascending column order from 0.0, values
//           divided by sqrt(s) when s > 0.0; "l1": the same with absolute values
//           and s itself; any other text (exact bytes): left as they are.
// Stored zeros stay stored; rows are in input order with ascending columns.
#ifndef VESKO_TFIDF_VECTORIZER_H_
#define VESKO_TFIDF_VECTORIZER_H_

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "tfidf/ascii_trigram_table.h"
#include "common/csr_matrix.h"
#include "tfidf/term_index.h"
#include "tfidf/tfidf_model.h"
#include "tfidf/tokenizer.h"
#include "tfidf/vocabulary.h"

namespace vesko {

// Immutable after from_model; safe to share across threads.
class TfidfVectorizer {
 public:
  // Takes over the model's vocabulary, idf, sublinear_tf and norm (moved, not
  // copied); the scaler fields and max_features are dropped. Checks nothing:
  // a column beyond idf or beyond the vocabulary size fails only when a text
  // hits it. Never fails.
  static TfidfVectorizer from_model(TfidfModel&& model, TokenizerMode mode);

  // The matrix of `texts`: texts.size() rows, num_columns() columns. Splits the
  // texts over the process-wide pool; the result does not depend on the split.
  // Throws FatalError, checked over the whole batch before any matrix exists:
  //   first "index out of bounds: the len is L but the index is j" when a text
  //   hits a column j >= L = idf length (for the first such text in input
  //   order, j is the smallest such column it hits);
  //   then "col indices should be within shape" when a text hits a column
  //   j < L with j >= num_columns().
  // Thread-safe: concurrent calls share nothing that is written.
  CsrMatrix transform(std::span<const std::string> texts) const;

  // V, the number of vocabulary entries: the column count of every result.
  std::size_t num_columns() const { return vocabulary_.size(); }

  const Tokenizer& tokenizer() const { return tokenizer_; }
  const std::vector<double>& idf() const { return idf_; }
  bool sublinear_tf() const { return sublinear_tf_; }
  const std::string& norm() const { return norm_; }

 private:
  enum class Norm { kL2, kL1, kNone };

  TfidfVectorizer(TfidfModel&& model, TokenizerMode mode);

  // One text's entries, or why it fails; defined in vectorizer.cc.
  struct Row;
  void compute_row(std::string_view text, Row& row) const;

  Vocabulary vocabulary_;
  TermIndex index_;             // over vocabulary_, declared after it
  AsciiTrigramTable trigrams_;  // CharTrigrams only: over vocabulary_, declared after it
  std::vector<double> idf_;
  bool sublinear_tf_;
  std::string norm_;
  Norm norm_kind_;
  Tokenizer tokenizer_;
};

}  // namespace vesko

#endif  // VESKO_TFIDF_VECTORIZER_H_
