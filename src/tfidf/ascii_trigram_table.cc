#include "tfidf/ascii_trigram_table.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace vesko {

AsciiTrigramTable::AsciiTrigramTable(const Vocabulary& vocabulary) {
  const std::size_t size = vocabulary.size();
  if (size >= UINT32_MAX) return;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;  // key, column
  for (const auto& [term, column] : vocabulary) {
    if (term.size() != 3) continue;
    std::uint32_t key = 0;
    bool ascii = true;
    for (char byte : term) {
      const auto code = static_cast<unsigned char>(byte);
      ascii = ascii && code < 0x80;
      key = slide(key, code);
    }
    if (!ascii) continue;
    if (column >= size) return;  // stays disabled: the general path reports it
    entries.emplace_back(key, static_cast<std::uint32_t>(column));
  }
  // Keys are distinct: vocabulary keys are, and three ASCII bytes map to
  // their key one to one.
  std::sort(entries.begin(), entries.end());
  words_.assign((kKeyMask + 1) / 64, Word{0, 0, 0});
  columns_.reserve(entries.size() + 1);
  for (const auto& [key, column] : entries) {
    words_[key >> 6].bits |= std::uint64_t{1} << (key & 63);
    columns_.push_back(column);
  }
  miss_at_ = static_cast<std::uint32_t>(columns_.size());
  columns_.push_back(static_cast<std::uint32_t>(size));
  std::uint32_t rank = 0;
  for (Word& word : words_) {
    word.rank = rank;
    rank += static_cast<std::uint32_t>(std::popcount(word.bits));
  }
}

}  // namespace vesko
