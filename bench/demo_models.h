// The demo model directory (models/demo) for benchmarks that want real
// vocabularies, found from this header's own path like the corpus.
#ifndef VESKO_BENCH_DEMO_MODELS_H_
#define VESKO_BENCH_DEMO_MODELS_H_

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vesko::bench {

// "model<n>_tfidf.msgpack" of the demo directory, n from 1 to 4.
inline std::string demo_tfidf_path(int n) {
  const std::string here = __FILE__;
  const std::size_t at = here.rfind("/bench/");
  const std::string repo = at == std::string::npos ? std::string(".") : here.substr(0, at);
  return repo + "/models/demo/model" + std::to_string(n) + "_tfidf.msgpack";
}

// The whole file, or nothing when it cannot be read.
inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}

}  // namespace vesko::bench

#endif  // VESKO_BENCH_DEMO_MODELS_H_
