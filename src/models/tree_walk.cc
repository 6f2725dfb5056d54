#include "models/tree_walk.h"

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

double TreeWarnings::give_up(std::optional<std::size_t> missing_child) {
  const GiveUp event{missing_child.value_or(0), missing_child.has_value()};
  if (keep_) {
    kept_.push_back(event);
  } else {
    write_lines(event);
  }
  return 0.0;
}

void TreeWarnings::write() {
  for (const GiveUp& event : kept_) write_lines(event);
  kept_.clear();
}

void TreeWarnings::write_lines(const GiveUp& event) {
  if (event.has_missing_child) {
    write_stderr_line("WARNING: XGBoost tree traversal failed - child node " +
                      std::to_string(event.missing_child) + " not found");
  }
  write_stderr_line("WARNING: XGBoost tree traversal failed - returning 0.0 fallback");
}

}  // namespace vesko
