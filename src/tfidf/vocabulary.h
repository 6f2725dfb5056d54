// Vocabulary: term -> column index, looked up by string_view without building
// a std::string per term. Debian's Abseil has its own string_view type, so the
// map gets a transparent hasher and equality over std::string_view.
#ifndef VESKO_TFIDF_VOCABULARY_H_
#define VESKO_TFIDF_VOCABULARY_H_

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vesko {

struct TermHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view term) const {
    return absl::Hash<absl::string_view>{}(absl::string_view(term.data(), term.size()));
  }
};

struct TermEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

using Vocabulary = absl::flat_hash_map<std::string, std::uint64_t, TermHash, TermEq>;

}  // namespace vesko

#endif  // VESKO_TFIDF_VOCABULARY_H_
