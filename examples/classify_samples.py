"""Prints the 29 hand-made features of every e-mail file in a directory."""
import pathlib
import sys

import vesko

FEATURE_NAMES = [
    "html_tag_ratio", "base64_ratio", "uppercase_ratio", "exclamation_ratio",
    "question_mark_ratio", "drug_word_count", "financial_word_count", "avg_word_length",
    "punctuation_ratio", "charset_word_count", "first_line_uppercase_ratio",
    "first_line_nonempty", "is_reply_or_forward", "mixed_ascii_non_ascii", "html_entity_ratio",
    "zero_width_char_count", "leetspeak_char_ratio", "repeated_char_run_ratio",
    "numeric_char_ratio", "words_per_sentence", "promotional_word_count", "dollar_sign_ratio",
    "url_ratio", "suspicious_domain_ratio", "urgency_word_ratio", "phishing_phrase_count",
    "no_lowercase_word_ratio", "repeated_punct_count", "mailing_list",
]


def main(directory):
    paths = sorted(pathlib.Path(directory).glob("*.eml"))
    texts = [p.read_text(encoding="utf-8") for p in paths]
    for path, features in zip(paths, vesko.extract_features_batch(texts)):
        print(path.name)
        for name, value in zip(FEATURE_NAMES, features):
            if value:
                print(f"  {name:28} {value:.6g}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data/sample_emails")
