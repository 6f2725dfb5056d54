// Terms and TF-IDF rows of any text. The first input byte picks the
// vectorizer's options; the rest, made valid UTF-8 (invalid bytes become
// U+FFFD, as for Python strings), is the text. For each of the four modes, a
// vectorizer whose vocabulary is every other distinct term of the text gives a
// matrix that keeps the CSR invariants, whose row holds exactly the columns of
// the vocabulary terms the text contains, with finite values.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/csr_matrix.h"
#include "common/thread_pool.h"
#include "tfidf/term_list.h"
#include "tfidf/tfidf_model.h"
#include "tfidf/tokenizer.h"
#include "tfidf/vectorizer.h"
#include "valid_utf8.h"

namespace {

void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void require(bool condition, const char* what) {
  if (!condition) fail(what);
}

void check_matrix(const vesko::CsrMatrix& m, std::size_t rows, std::size_t cols) {
  require(m.rows() == rows, "row count");
  require(m.cols() == cols, "column count");
  const auto& indptr = m.indptr();
  require(indptr.size() == rows + 1, "indptr size");
  require(indptr.front() == 0, "indptr starts at 0");
  require(indptr.back() == m.nnz(), "indptr ends at nnz");
  require(m.indices().size() == m.nnz(), "indices size");
  for (std::size_t r = 0; r < rows; ++r) {
    require(indptr[r] <= indptr[r + 1], "indptr non-decreasing");
    const auto columns = m.row_indices(r);
    for (std::size_t k = 0; k < columns.size(); ++k) {
      require(columns[k] < cols, "column within shape");
      if (k > 0) require(columns[k - 1] < columns[k], "columns ascend");
    }
    for (double value : m.row_values(r)) require(std::isfinite(value), "finite value");
  }
}

void check_mode(vesko::TokenizerMode mode, std::uint8_t options, const std::string& text) {
  const vesko::Tokenizer tokenizer(mode);
  const std::vector<std::string> terms = vesko::term_list(tokenizer, text);

  // Every other distinct term, in order of first appearance, numbered in
  // reverse so that columns do not follow the text's order.
  std::vector<std::string> distinct;
  {
    std::set<std::string> seen;
    for (const std::string& term : terms) {
      if (seen.insert(term).second) distinct.push_back(term);
    }
  }
  vesko::TfidfModel model;
  std::vector<std::string> chosen;
  for (std::size_t i = 0; i < distinct.size(); i += 2) chosen.push_back(distinct[i]);
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    model.vocabulary.emplace(chosen[i], chosen.size() - 1 - i);
    model.idf.push_back(1.0 + static_cast<double>(i % 7) * 0.25);
  }
  static const char* const kNorms[] = {"l2", "l1", "none", "L2"};
  model.norm = kNorms[options & 3];
  model.sublinear_tf = (options & 4) != 0;
  const std::size_t columns = chosen.size();
  const auto vectorizer = vesko::TfidfVectorizer::from_model(std::move(model), mode);

  const std::vector<std::string> texts = {text, std::string(), text.substr(0, text.size() / 2)};
  const vesko::CsrMatrix matrix = vectorizer.transform(texts);
  check_matrix(matrix, texts.size(), columns);
  require(matrix.row_indices(1).empty(), "the empty text has entries");

  std::vector<std::size_t> expected;
  for (std::size_t i = 0; i < chosen.size(); ++i) expected.push_back(chosen.size() - 1 - i);
  std::sort(expected.begin(), expected.end());
  const auto row = matrix.row_indices(0);
  require(std::equal(row.begin(), row.end(), expected.begin(), expected.end()),
          "row columns are not the vocabulary terms of the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t options = data[0];
  const std::string text = vesko::fuzz::make_valid_utf8(data + 1, size - 1);
  for (auto mode :
       {vesko::TokenizerMode::WordUnigrams, vesko::TokenizerMode::WordBigrams,
        vesko::TokenizerMode::CharTrigrams, vesko::TokenizerMode::WordUnigramsAndBigrams}) {
    check_mode(mode, options, text);
  }
  return 0;
}
