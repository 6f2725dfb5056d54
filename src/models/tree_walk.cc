#include "models/tree_walk.h"

#include <cstdint>

namespace vesko {

std::size_t parse_split_index(std::string_view split) {
  std::size_t pos = 0;
  while (pos < split.size() && split[pos] == 'f') ++pos;
  if (pos < split.size() && split[pos] == '+') ++pos;
  if (pos == split.size()) return 0;
  std::uint64_t value = 0;
  for (; pos < split.size(); ++pos) {
    const char ch = split[pos];
    if (ch < '0' || ch > '9') return 0;
    const std::uint64_t digit = static_cast<std::uint64_t>(ch - '0');
    if (value > (UINT64_MAX - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return static_cast<std::size_t>(value);
}

}  // namespace vesko
