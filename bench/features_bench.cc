// Throughput of the hand-made features over the public mail corpus, in bytes
// of received text per second.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/lowercase.h"
#include "common/thread_pool.h"
#include "corpus.h"
#include "features/custom_features.h"
#include "features/pattern_scan.h"
#include "features/text_scan.h"
#include "features/word_lists.h"
#include "features/word_scan.h"

namespace vesko {
namespace {

const std::vector<std::string>& lowered_corpus() {
  static const std::vector<std::string> lowered = [] {
    std::vector<std::string> out;
    for (const std::string& text : bench::corpus().texts) out.push_back(to_lower(text));
    return out;
  }();
  return lowered;
}

bool corpus_ready(benchmark::State& state) {
  const bench::Corpus& corpus = bench::corpus();
  if (corpus.texts.empty()) {
    state.SkipWithError(corpus.error.c_str());
    return false;
  }
  return true;
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(bench::corpus().total_bytes));
}

// (a) The extractor alone, on texts lower-cased beforehand.
void BM_FeaturesPreLowered(benchmark::State& state) {
  if (!corpus_ready(state)) return;
  const auto& texts = bench::corpus().texts;
  const auto& lowered = lowered_corpus();
  for (auto _ : state) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      benchmark::DoNotOptimize(extract_custom_features(texts[i], lowered[i]));
    }
  }
  set_bytes(state);
}
BENCHMARK(BM_FeaturesPreLowered)->Unit(benchmark::kMillisecond);

// (b) Lower-casing and extraction, as extract_features does for one text.
void BM_LowerAndFeatures(benchmark::State& state) {
  if (!corpus_ready(state)) return;
  const auto& texts = bench::corpus().texts;
  for (auto _ : state) {
    for (const std::string& text : texts) {
      benchmark::DoNotOptimize(extract_custom_features(text, to_lower(text)));
    }
  }
  set_bytes(state);
}
BENCHMARK(BM_LowerAndFeatures)->Unit(benchmark::kMillisecond);

// (c) The same over the whole corpus on every thread of the pool.
void BM_LowerAndFeaturesParallel(benchmark::State& state) {
  if (!corpus_ready(state)) return;
  const auto& texts = bench::corpus().texts;
  std::vector<CustomFeatures> results(texts.size());
  for (auto _ : state) {
    parallel_for_index(texts.size(), [&](std::size_t i) {
      results[i] = extract_custom_features(texts[i], to_lower(texts[i]));
    });
    benchmark::DoNotOptimize(results.data());
  }
  set_bytes(state);
  state.counters["threads"] = static_cast<double>(thread_pool_size());
}
BENCHMARK(BM_LowerAndFeaturesParallel)->Unit(benchmark::kMillisecond)->UseRealTime();

// The parts of (a), to see where the time goes: the passes over the text,
// its first line and the lower-cased copy, then each pattern alone.
template <class Pass>
void run_pass(benchmark::State& state, Pass pass) {
  if (!corpus_ready(state)) return;
  const auto& texts = bench::corpus().texts;
  const auto& lowered = lowered_corpus();
  for (auto _ : state) {
    for (std::size_t i = 0; i < texts.size(); ++i) pass(texts[i], lowered[i]);
  }
  set_bytes(state);
}

void BM_CharacterCounts(benchmark::State& state) {
  run_pass(state, [](const std::string& text, const std::string&) {
    benchmark::DoNotOptimize(count_text(text));
  });
}
BENCHMARK(BM_CharacterCounts)->Unit(benchmark::kMillisecond);

void BM_FirstLine(benchmark::State& state) {
  run_pass(state, [](const std::string& text, const std::string&) {
    std::optional<std::string_view> line = first_line(text);
    benchmark::DoNotOptimize(line ? count_uppercase(*line) : 0);
  });
}
BENCHMARK(BM_FirstLine)->Unit(benchmark::kMillisecond);

void BM_Words(benchmark::State& state) {
  run_pass(state, [](const std::string&, const std::string& lowered) {
    benchmark::DoNotOptimize(count_words(lowered));
  });
}
BENCHMARK(BM_Words)->Unit(benchmark::kMillisecond);

void BM_WordLists(benchmark::State& state) {
  run_pass(state, [](const std::string&, const std::string& lowered) {
    benchmark::DoNotOptimize(count_word_lists(lowered));
  });
}
BENCHMARK(BM_WordLists)->Unit(benchmark::kMillisecond);

// The scanners the extractor runs in place of the five expressions.
template <std::size_t (*Scan)(std::string_view)>
void BM_PatternScan(benchmark::State& state) {
  if (!corpus_ready(state)) return;
  for (auto _ : state) {
    for (const std::string& text : bench::corpus().texts) benchmark::DoNotOptimize(Scan(text));
  }
  set_bytes(state);
}
BENCHMARK(BM_PatternScan<count_html_tags>)
    ->Name("BM_PatternScan/html_tag")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PatternScan<base64_match_bytes>)
    ->Name("BM_PatternScan/base64")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PatternScan<count_html_entities>)
    ->Name("BM_PatternScan/html_entity")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PatternScan<count_urls>)->Name("BM_PatternScan/url")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PatternScan<count_repeated_punct>)
    ->Name("BM_PatternScan/repeated_punct")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vesko

BENCHMARK_MAIN();
