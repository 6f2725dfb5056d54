#include "models/tree_walk.h"

#include <cstdint>
#include <string>

#include "common/stderr_line.h"

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

void warn_missing_child(std::size_t id) {
  write_stderr_line("WARNING: XGBoost tree traversal failed - child node " + std::to_string(id) +
                    " not found");
}

double fallback_with_warning() {
  write_stderr_line("WARNING: XGBoost tree traversal failed - returning 0.0 fallback");
  return 0.0;
}

}  // namespace vesko
