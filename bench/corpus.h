// The public mail corpus for benchmarks: the "text" field of every line of
// public-mail-corpus.jsonl.gz, loaded once per process. Header-only so that
// any benchmark can include it without a build change.
#ifndef VESKO_BENCH_CORPUS_H_
#define VESKO_BENCH_CORPUS_H_

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace vesko::bench {

struct Corpus {
  std::vector<std::string> texts;
  std::size_t total_bytes = 0;
  std::string error;  // why there are no texts; empty when loaded
};

// Where the corpus is looked for: $VESKO_CORPUS when set, else the shared
// corpus beside the repository (found from this header's own path, so the
// benchmark works from any directory).
inline std::string corpus_path() {
  if (const char* env = std::getenv("VESKO_CORPUS"); env != nullptr && *env != '\0') return env;
  std::string here = __FILE__;
  std::string repo = here.substr(0, here.rfind("/bench/"));
  if (repo.size() == here.size()) repo = ".";
  return repo + "/../shared/corpus/public-mail-corpus.jsonl.gz";
}

namespace detail {

inline std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline Corpus load_corpus(const std::string& path) {
  Corpus corpus;
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (probe == nullptr) {
    corpus.error = "corpus not found at " + path + " (set VESKO_CORPUS to its path)";
    return corpus;
  }
  std::fclose(probe);
  // gzip -dc spares a zlib dependency in every benchmark target.
  std::FILE* pipe = ::popen(("gzip -dc -- " + shell_quote(path)).c_str(), "r");
  if (pipe == nullptr) {
    corpus.error = "cannot run gzip to read " + path;
    return corpus;
  }
  std::string data;
  char buffer[1 << 16];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) data.append(buffer, n);
  if (::pclose(pipe) != 0) {
    corpus.error = "gzip failed on " + path;
    return corpus;
  }
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string_view line(data.data() + start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    nlohmann::json record = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!record.is_object() || !record.contains("text") || !record["text"].is_string()) continue;
    corpus.texts.push_back(record["text"].get<std::string>());
    corpus.total_bytes += corpus.texts.back().size();
  }
  if (corpus.texts.empty()) corpus.error = "no \"text\" fields in " + path;
  return corpus;
}

}  // namespace detail

// Loaded on first call, then shared (read-only).
inline const Corpus& corpus() {
  static const Corpus loaded = detail::load_corpus(corpus_path());
  return loaded;
}

}  // namespace vesko::bench

#endif  // VESKO_BENCH_CORPUS_H_
