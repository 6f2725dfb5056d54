// TF-IDF transform throughput over the public mail corpus, per tokenizer mode
// and vocabulary size, on one thread and on the whole pool, and with the demo
// models' own vocabularies on one thread. The texts are lower-cased first, as
// the prediction pipeline hands them over.
//
// The Colliding cases build and probe a vocabulary of 100,000 terms chosen to
// collide under a fixed multiplicative hash, against an ordinary vocabulary of
// the same shape (argument colliding 0).
//
// Without the corpus (bench/corpus.h says where it is looked for) every case
// is skipped.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../tests/cpp/tfidf/colliding_terms.h"
#include "common/lowercase.h"
#include "common/thread_pool.h"
#include "corpus.h"
#include "demo_models.h"
#include "models/model_files.h"
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

// Argument: the demo file's number, 1 to 4; its mode is the loader's.
void BM_TransformDemo(benchmark::State& state) {
  const int file = static_cast<int>(state.range(0));
  if (corpus().empty()) {
    state.SkipWithError(bench::corpus().error.c_str());
    return;
  }
  static std::map<int, std::unique_ptr<TfidfVectorizer>> cache;
  auto& slot = cache[file];
  if (!slot) {
    auto model = load_tfidf_model(bench::demo_tfidf_path(file));
    if (!model) {
      state.SkipWithError(model.error().c_str());
      return;
    }
    slot = std::make_unique<TfidfVectorizer>(TfidfVectorizer::from_model(
        std::move(model).value(), static_cast<TokenizerMode>(file - 1)));
  }
  const std::span<const std::string> texts(corpus());
  tbb::task_arena one_thread(1);
  for (auto _ : state) {
    one_thread.execute([&] { benchmark::DoNotOptimize(slot->transform(texts)); });
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus_bytes()));
}
BENCHMARK(BM_TransformDemo)->DenseRange(1, 4)->ArgName("file")->Unit(benchmark::kMillisecond);

constexpr std::size_t kCollidingTerms = 100000;

// The terms of 0: an ordinary vocabulary; 1: one that collides under the
// fixed hash. Same count, lengths and letters.
const std::vector<std::string>& attack_terms(bool colliding) {
  static const std::array<std::vector<std::string>, 2> terms = {
      testing_support::colliding_terms(kCollidingTerms,
                                       [](std::string_view) { return std::uint64_t{0}; }),
      testing_support::colliding_terms(kCollidingTerms,
                                       testing_support::fixed_multiplicative_hash)};
  return terms[colliding ? 1 : 0];
}

const Vocabulary& attack_vocabulary(bool colliding) {
  static const std::array<Vocabulary, 2> vocabularies = [] {
    std::array<Vocabulary, 2> made;
    for (int k = 0; k < 2; ++k) {
      for (const std::string& term : attack_terms(k == 1)) made[k].emplace(term, made[k].size());
    }
    return made;
  }();
  return vocabularies[colliding ? 1 : 0];
}

// Every 10th term, in the order they were made.
std::vector<std::string> attack_probes(bool colliding) {
  std::vector<std::string> probes;
  const std::vector<std::string>& terms = attack_terms(colliding);
  for (std::size_t k = 0; k < terms.size(); k += 10) probes.push_back(terms[k]);
  return probes;
}

void BM_CollidingIndexBuild(benchmark::State& state) {
  const Vocabulary& vocabulary = attack_vocabulary(state.range(0) != 0);
  const Vocabulary* lanes[] = {&vocabulary};
  for (auto _ : state) {
    TermIndex index(lanes);
    benchmark::DoNotOptimize(index);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * vocabulary.size()));
}
BENCHMARK(BM_CollidingIndexBuild)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("colliding")
    ->Unit(benchmark::kMillisecond);

void BM_CollidingLookups(benchmark::State& state) {
  const bool colliding = state.range(0) != 0;
  const Vocabulary& vocabulary = attack_vocabulary(colliding);
  const Vocabulary* lanes[] = {&vocabulary};
  const TermIndex index(lanes);
  const std::vector<std::string> probes = attack_probes(colliding);
  for (auto _ : state) {
    std::uint64_t sum = 0;
    for (const std::string& probe : probes) {
      const TermIndex::Key key = TermIndex::pack(probe);  // the attack's terms are all short
      const std::uint64_t hash = index.hash(key);
      const TermIndex::Columns* columns =
          index.may_hold(hash) ? index.find_packed(key, hash) : nullptr;
      sum += columns != nullptr ? (*columns)[0] : 0;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * probes.size()));
}
BENCHMARK(BM_CollidingLookups)->Arg(0)->Arg(1)->ArgName("colliding")->Unit(benchmark::kMicrosecond);

// E-mails written in the vocabulary's terms, 100 words each: the transform of
// the words model, on one thread.
void BM_CollidingTransform(benchmark::State& state) {
  const bool colliding = state.range(0) != 0;
  const Vocabulary& vocabulary = attack_vocabulary(colliding);
  TfidfModel model;
  model.vocabulary = vocabulary;
  model.idf.assign(vocabulary.size(), 1.0);
  const TfidfVectorizer v =
      TfidfVectorizer::from_model(std::move(model), TokenizerMode::WordUnigrams);
  const std::vector<std::string> probes = attack_probes(colliding);
  std::vector<std::string> texts(probes.size() / 100);
  std::size_t bytes = 0;
  for (std::size_t k = 0; k < texts.size() * 100; ++k) {
    texts[k / 100].append(probes[k]).push_back(' ');
    bytes += probes[k].size() + 1;
  }
  tbb::task_arena one_thread(1);
  for (auto _ : state) {
    one_thread.execute([&] { benchmark::DoNotOptimize(v.transform(texts)); });
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_CollidingTransform)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("colliding")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vesko

BENCHMARK_MAIN();
