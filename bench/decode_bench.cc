// Decoding speed of the largest model files: a TfidfModel of about 20 MB
// (a million-term vocabulary and its idf column), decoded from memory as
// load does after reading the file. Reported as bytes per second.
//
// Loading a vectorizer, as load does from the file's bytes (decode, then the
// vectorizer with its lookup tables): the four demo files, and a vocabulary
// of 100,000 terms chosen to collide under a fixed multiplicative hash against
// an ordinary one of the same shape.
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../tests/cpp/tfidf/colliding_terms.h"
#include "demo_models.h"
#include "models/model_files.h"
#include "tfidf/vectorizer.h"

namespace {

class Writer {
 public:
  void byte(int b) { out_.push_back(static_cast<std::uint8_t>(b)); }
  void be(std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) byte(static_cast<int>((v >> (8 * i)) & 0xff));
  }
  void str(const std::string& s) {
    if (s.size() < 32) {
      byte(0xa0 | static_cast<int>(s.size()));
    } else {
      byte(0xd9);
      be(s.size(), 1);
    }
    out_.insert(out_.end(), s.begin(), s.end());
  }
  void uint(std::uint64_t v) {
    if (v < 128) {
      byte(static_cast<int>(v));
    } else if (v <= 0xffff) {
      byte(0xcd);
      be(v, 2);
    } else {
      byte(0xce);
      be(v, 4);
    }
  }
  std::vector<std::uint8_t>& bytes() { return out_; }

 private:
  std::vector<std::uint8_t> out_;
};

// Terms shaped like a word-and-bigram vocabulary: lower-case words, some
// pairs, a few with non-ASCII letters.
std::string term(std::uint32_t i) {
  static const char* kLetters = "etaoinshrdlucmfwypvbgkqjxz";
  std::string t;
  for (std::uint32_t v = i + 1; v > 0; v /= 26) t.push_back(kLetters[v % 26]);
  if (i % 3 == 0) {
    const std::string first = t.substr(0, 3);
    t.push_back(' ');
    t += first;
  }
  if (i % 50 == 0) t += "\xc3\xa9";
  return t;
}

template <typename TermOf>
std::vector<std::uint8_t> make_tfidf_file(std::uint32_t terms, TermOf&& term_of) {
  Writer w;
  w.byte(0x84);  // map of 4 fields
  w.str("vocabulary");
  w.byte(0xdf);
  w.be(terms, 4);
  for (std::uint32_t i = 0; i < terms; ++i) {
    w.str(term_of(i));
    w.uint(i);
  }
  w.str("idf");
  w.byte(0xdd);
  w.be(terms, 4);
  for (std::uint32_t i = 0; i < terms; ++i) {
    w.byte(0xcb);
    w.be(std::bit_cast<std::uint64_t>(1.0 + i * 1e-6), 8);
  }
  w.str("max_features");
  w.uint(terms);
  w.str("sublinear_tf");
  w.byte(0xc3);
  return std::move(w.bytes());
}

void BM_DecodeTfidfModel(benchmark::State& state) {
  const std::vector<std::uint8_t> file =
      make_tfidf_file(static_cast<std::uint32_t>(state.range(0)), term);
  for (auto _ : state) {
    auto model = vesko::decode_tfidf_model(std::span<const std::uint8_t>(file));
    if (!model) state.SkipWithError(model.error().c_str());
    benchmark::DoNotOptimize(model);
    // load keeps the record; freeing it is not part of decoding.
    state.PauseTiming();
    { auto freed = std::move(model); }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(file.size()));
  state.counters["file_MB"] = static_cast<double>(file.size()) / 1e6;
}
BENCHMARK(BM_DecodeTfidfModel)->Arg(1 << 20)->Arg(50000)->Unit(benchmark::kMillisecond);

// Decode and build, then free untimed.
void load_vectorizer(benchmark::State& state, const std::vector<std::uint8_t>& file,
                     vesko::TokenizerMode mode) {
  for (auto _ : state) {
    auto model = vesko::decode_tfidf_model(std::span<const std::uint8_t>(file));
    if (!model) {
      state.SkipWithError(model.error().c_str());
      return;
    }
    auto vectorizer = vesko::TfidfVectorizer::from_model(std::move(model).value(), mode);
    benchmark::DoNotOptimize(vectorizer);
    state.PauseTiming();
    { auto freed = std::move(vectorizer); }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(file.size()));
}

// Argument: the demo file's number, 1 to 4; its mode is the loader's.
void BM_LoadDemoTfidf(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<std::uint8_t> file = vesko::bench::read_bytes(vesko::bench::demo_tfidf_path(n));
  if (file.empty()) {
    state.SkipWithError("demo model not found");
    return;
  }
  load_vectorizer(state, file, static_cast<vesko::TokenizerMode>(n - 1));
}
BENCHMARK(BM_LoadDemoTfidf)->DenseRange(1, 4)->ArgName("file")->Unit(benchmark::kMicrosecond);

// Argument: 1 for the colliding terms, 0 for ordinary ones; the words model.
void BM_LoadCollidingTfidf(benchmark::State& state) {
  constexpr std::size_t kTerms = 100000;
  const auto fixed = vesko::testing_support::fixed_multiplicative_hash;
  const std::vector<std::string> terms =
      state.range(0) != 0 ? vesko::testing_support::colliding_terms(kTerms, fixed)
                          : vesko::testing_support::colliding_terms(
                                kTerms, [](std::string_view) { return std::uint64_t{0}; });
  const std::vector<std::uint8_t> file =
      make_tfidf_file(kTerms, [&](std::uint32_t i) { return terms[i]; });
  load_vectorizer(state, file, vesko::TokenizerMode::WordUnigrams);
}
BENCHMARK(BM_LoadCollidingTfidf)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("colliding")
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
