// Diagnostic lines on standard error. Each line goes to file descriptor 2 in
// one write, unbuffered and under one process-wide lock, so lines from
// different threads or calls never interleave.
#ifndef VESKO_COMMON_STDERR_LINE_H_
#define VESKO_COMMON_STDERR_LINE_H_

#include <string_view>

namespace vesko {

// Writes `line` followed by a line feed. Write errors are ignored: diagnostics
// never change the result of a call.
void write_stderr_line(std::string_view line);

}  // namespace vesko

#endif  // VESKO_COMMON_STDERR_LINE_H_
