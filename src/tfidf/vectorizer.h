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
//
// Vectorizers of words, of word pairs and of both read the same words of a
// text. Made to share one term index (share_term_index), they are counted
// together (count_together): each text's words are found once, and each word
// and each pair is looked up once for all of them.
#ifndef VESKO_TFIDF_VECTORIZER_H_
#define VESKO_TFIDF_VECTORIZER_H_

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/csr_matrix.h"
#include "tfidf/ascii_trigram_table.h"
#include "tfidf/term_index.h"
#include "tfidf/tfidf_model.h"
#include "tfidf/tokenizer.h"
#include "tfidf/vocabulary.h"

namespace vesko {

// One text's row of one vectorizer before the batch becomes a matrix: its
// entries, or the failure it will raise.
struct TfidfRow {
  struct Entry {
    std::size_t column;
    double value;
  };
  std::vector<Entry> entries;  // ascending columns
  bool idf_failure = false;    // a hit column >= idf length ...
  std::size_t idf_column = 0;  // ... the smallest of them
  bool shape_failure = false;  // a hit column < idf length but >= V
};

// Immutable after from_model (and share_term_index); safe to share across
// threads.
class TfidfVectorizer {
 public:
  // Takes over the model's vocabulary, idf, sublinear_tf and norm (moved, not
  // copied); the scaler fields and max_features are dropped. Checks nothing:
  // a column beyond idf or beyond the vocabulary size fails only when a text
  // hits it. Never fails.
  static TfidfVectorizer from_model(TfidfModel&& model, TokenizerMode mode);

  // Gives `vectorizers` (at most TermIndex::kLanes, none of CharTrigrams
  // mode) one term index over all their vocabularies, in place of their own.
  // Results do not change.
  static void share_term_index(std::span<TfidfVectorizer* const> vectorizers);

  // True when both look terms up in the same index and so can be counted
  // together.
  bool shares_index_with(const TfidfVectorizer& other) const { return index_ == other.index_; }

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

  // The rows of `texts` for every vectorizer of `group`, which must all share
  // one index (a group of one always does): rows[i][t] is text t's row for
  // group[i], as transform would count it. Each text is read once for all of
  // them. Never fails but for want of memory.
  static std::vector<std::vector<TfidfRow>> count_together(
      std::span<const TfidfVectorizer* const> group, std::span<const std::string> texts);

  // The matrix of rows this vectorizer counted, as transform returns it, or
  // transform's failure.
  CsrMatrix to_matrix(std::vector<TfidfRow>&& rows) const;

  // V, the number of vocabulary entries: the column count of every result.
  std::size_t num_columns() const { return vocabulary_.size(); }

  const Tokenizer& tokenizer() const { return tokenizer_; }
  const std::vector<double>& idf() const { return idf_; }
  bool sublinear_tf() const { return sublinear_tf_; }
  const std::string& norm() const { return norm_; }

 private:
  enum class Norm { kL2, kL1, kNone };

  // The counting of one text for a group; defined in vectorizer.cc.
  struct GroupCounter;

  TfidfVectorizer(TfidfModel&& model, TokenizerMode mode);

  // Weighs, orders and normalises the counts of one text into `row`.
  template <typename Counts>
  void finish_row(Counts& counts, std::size_t num_terms, TfidfRow& row) const;

  Vocabulary vocabulary_;
  std::shared_ptr<const TermIndex> index_;  // over vocabulary_ (and others sharing it)
  std::size_t lane_ = 0;                    // vocabulary_'s lane in index_
  AsciiTrigramTable trigrams_;              // CharTrigrams only: over vocabulary_
  std::vector<double> idf_;
  bool sublinear_tf_;
  std::string norm_;
  Norm norm_kind_;
  Tokenizer tokenizer_;
};

}  // namespace vesko

#endif  // VESKO_TFIDF_VECTORIZER_H_
