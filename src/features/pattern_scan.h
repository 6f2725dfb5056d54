// Hand-written scanners for the five feature patterns. Each gives exactly the
// count of non-overlapping leftmost-first matches (found left to right, each
// search resuming where the previous match ended) that the regular expression
// beside it gives on valid UTF-8; the same expressions, compiled, are
// kept as their reference in tests and fuzzing. A regex engine pays a call per
// match, and HTML-heavy mail has hundreds of tags per message, so these plain
// loops make the features several times faster and never contend on a shared
// matcher cache between threads. All but the entity scanner test 16 bytes at
// a time for the few bytes where a match can start or end, and follow those
// as bits; entities start at a '&', which memchr finds fastest.
//
// All are linear in text.size(), reentrant, never fail, and read nothing
// outside `text`.
#ifndef VESKO_FEATURES_PATTERN_SCAN_H_
#define VESKO_FEATURES_PATTERN_SCAN_H_

#include <cstddef>
#include <string_view>

namespace vesko {

// <[^>]+>
std::size_t count_html_tags(std::string_view text);

// [A-Za-z0-9+/]{20,}={0,2}: the byte lengths of the matches, summed.
std::size_t base64_match_bytes(std::string_view text);

// &[a-zA-Z]+;|&#\d+;  with \d any character of general category Nd.
std::size_t count_html_entities(std::string_view text);

// https?://[^\s]+|www\.[^\s]+  with \s any White_Space character.
std::size_t count_urls(std::string_view text);

// [!?]{2,}
std::size_t count_repeated_punct(std::string_view text);

}  // namespace vesko

#endif  // VESKO_FEATURES_PATTERN_SCAN_H_
