#include "features/custom_features.h"

#include <algorithm>

#include "features/pattern_scan.h"
#include "features/text_scan.h"
#include "features/word_lists.h"
#include "features/word_scan.h"

namespace vesko {
namespace {

double as_double(std::size_t count) { return static_cast<double>(count); }

// Scaled values divide first and multiply after, in the order the models
// were trained with: (a / b) * 100.0 and a * 100.0 / b differ in the last bit.
double percent(std::size_t count, double divisor) { return as_double(count) / divisor * 100.0; }

}  // namespace

CustomFeatures extract_custom_features(std::string_view text, std::string_view lowered) {
  CustomFeatures f{};
  const double length = std::max(as_double(text.size()), 1.0);
  const WordCounts words = count_words(lowered);
  const double word_divisor = std::max(as_double(words.words), 1.0);

  const TextCounts chars = count_text(text);
  const WordListCounts lists = count_word_lists(lowered);
  const std::optional<std::string_view> line = first_line(text);
  const bool line_nonempty = line.has_value() && !line->empty();

  f[0] = as_double(count_html_tags(text)) / length;
  f[1] = as_double(base64_match_bytes(text)) / length;
  f[2] = as_double(chars.uppercase) / length;
  f[3] = as_double(chars.exclamation) / length;
  f[4] = as_double(chars.question) / length;
  f[5] = as_double(lists.drug);
  f[6] = as_double(lists.financial);
  f[7] = words.words > 0 ? as_double(words.word_bytes) / as_double(words.words) : 0.0;
  f[8] = as_double(chars.punctuation) / length;
  f[9] = as_double(lists.charset);
  f[10] = line_nonempty ? as_double(count_uppercase(*line)) / as_double(line->size()) : 0.0;
  f[11] = line_nonempty ? 1.0 : 0.0;
  f[12] = lists.reply > 0 ? 1.0 : 0.0;
  f[13] = chars.ascii > 0 && chars.non_ascii > 0 ? 1.0 : 0.0;
  f[14] = as_double(count_html_entities(text)) / length;
  f[15] = as_double(chars.zero_width);
  f[16] = as_double(chars.leet) / length;
  f[17] = as_double(chars.runs_of_three) / length;
  f[18] = as_double(chars.numeric) / length;
  f[19] = as_double(words.words) / as_double(chars.sentence_ends + 1);
  f[20] = as_double(lists.promotional);
  f[21] = percent(chars.dollar, length);
  f[22] = percent(count_urls(text), word_divisor);
  f[23] = percent(lists.suspicious_domain, word_divisor);
  f[24] = percent(lists.urgency, word_divisor);
  f[25] = as_double(lists.phishing);
  f[26] = as_double(words.no_lowercase_2_bytes) / word_divisor;
  f[27] = as_double(count_repeated_punct(text));
  f[28] = lists.mailing_list > 0 ? 1.0 : 0.0;
  return f;
}

}  // namespace vesko
