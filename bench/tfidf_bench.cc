// TF-IDF transform throughput over the public mail corpus, per tokenizer mode
// and vocabulary size, on one thread and on the whole pool. The texts are
// lower-cased first, as the prediction pipeline hands them over.
//
// Without the corpus (bench/corpus.h says where it is looked for) every case
// is skipped.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/lowercase.h"
#include "common/thread_pool.h"
#include "corpus.h"
#include "tfidf/vectorizer.h"

namespace vesko {
namespace {

// The corpus, lower-cased once.
const std::vector<std::string>& corpus() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> lowered;
    for (const std::string& text : bench::corpus().texts) lowered.push_back(to_lower(text));
    return lowered;
  }();
  return texts;
}

std::size_t corpus_bytes() {
  static const std::size_t bytes = [] {
    std::size_t total = 0;
    for (const std::string& text : corpus()) total += text.size();
    return total;
  }();
  return bytes;
}

// The `size` most frequent terms of the corpus in `mode` (ties by bytes), with
// idf values that vary by rank; only speed is measured, so any positive idf does.
TfidfModel fit_model(TokenizerMode mode, std::size_t size) {
  absl::flat_hash_map<std::string, std::size_t, TermHash, TermEq> counts;
  const Tokenizer tokenizer(mode);
  TokenScratch scratch;
  for (const std::string& text : corpus()) {
    tokenizer.for_each_term(text, scratch, [&](std::string_view term) {
      auto found = counts.find(term);
      if (found == counts.end()) {
        counts.emplace(std::string(term), 1);
      } else {
        ++found->second;
      }
    });
  }
  std::vector<std::pair<std::size_t, std::string>> ranked;
  ranked.reserve(counts.size());
  for (auto& [term, count] : counts) ranked.emplace_back(count, term);
  const std::size_t kept = std::min(size, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(kept),
                    ranked.end(), [](const auto& a, const auto& b) {
                      return a.first != b.first ? a.first > b.first : a.second < b.second;
                    });
  TfidfModel model;
  for (std::size_t rank = 0; rank < kept; ++rank) {
    model.vocabulary.emplace(std::move(ranked[rank].second), rank);
    model.idf.push_back(1.0 + static_cast<double>(rank % 97) * 0.05);
  }
  return model;
}

const TfidfVectorizer& vectorizer(TokenizerMode mode, std::size_t size) {
  static std::map<std::pair<int, std::size_t>, std::unique_ptr<TfidfVectorizer>> cache;
  auto& slot = cache[{static_cast<int>(mode), size}];
  if (!slot) {
    slot =
        std::make_unique<TfidfVectorizer>(TfidfVectorizer::from_model(fit_model(mode, size), mode));
  }
  return *slot;
}

// Arguments: mode, vocabulary size, threads (1, or 0 for the whole pool).
void BM_Transform(benchmark::State& state) {
  const auto mode = static_cast<TokenizerMode>(state.range(0));
  const auto size = static_cast<std::size_t>(state.range(1));
  const bool single = state.range(2) == 1;
  if (corpus().empty()) {
    state.SkipWithError(bench::corpus().error.c_str());
    return;
  }
  const TfidfVectorizer& v = vectorizer(mode, size);
  const std::span<const std::string> texts(corpus());
  for (auto _ : state) {
    if (single) {
      run_on_pool_of(1, [&] { benchmark::DoNotOptimize(v.transform(texts)); });
    } else {
      benchmark::DoNotOptimize(v.transform(texts));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus_bytes()));
  state.SetLabel(single ? "1 thread" : std::to_string(thread_pool_size()) + " threads");
}

void transform_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"mode", "vocab", "threads"});
  for (int mode = 0; mode < 4; ++mode) {
    for (int size : {5000, 50000}) {
      for (int threads : {1, 0}) b->Args({mode, size, threads});
    }
  }
}

BENCHMARK(BM_Transform)->Apply(transform_args)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vesko

BENCHMARK_MAIN();
