// Lower-casing throughput on one thread, in bytes of input per second: the
// public mail corpus (mostly ASCII, the case production meets), and a text
// where every word holds non-ASCII characters, which all go to ICU.
#include <benchmark/benchmark.h>

#include <string>

#include "common/lowercase.h"
#include "corpus.h"

namespace vesko {
namespace {

void BM_ToLowerCorpus(benchmark::State& state) {
  const bench::Corpus& corpus = bench::corpus();
  if (corpus.texts.empty()) {
    state.SkipWithError(corpus.error.c_str());
    return;
  }
  for (auto _ : state) {
    for (const std::string& text : corpus.texts) benchmark::DoNotOptimize(to_lower(text));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(corpus.total_bytes));
}
BENCHMARK(BM_ToLowerCorpus)->Unit(benchmark::kMillisecond);

void BM_ToLowerNonAsciiWords(benchmark::State& state) {
  std::string text;
  while (text.size() < (1u << 20)) {
    text += "\u039F\u0394\u039F\u03A3 Caf\u00C9 \u0130STANBUL na\u00EFve\n";
  }
  for (auto _ : state) benchmark::DoNotOptimize(to_lower(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ToLowerNonAsciiWords)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vesko

BENCHMARK_MAIN();
