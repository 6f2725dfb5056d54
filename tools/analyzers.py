"""Term makers for the demo models' TF-IDF vectorizers.

Each function takes one lower-cased text and returns its terms in order, the
way the module's tokenizer does for the same text: the vocabularies and idf
values learnt here are only valid if scoring splits texts identically.

A word is a maximal run of two or more Unicode word characters as UTS #18
Annex C defines `\\w`: Alphabetic, every Mark (Mn, Mc, Me), Nd, Pc and the
join controls U+200C and U+200D. Python's own `re` `\\w` differs (it misses
marks and takes No and Nl), hence the explicit class with the `regex` package.
Greedy leftmost matching of the class repeated {2,} yields exactly the
maximal runs: a match always ends where its run ends, and a failed one-
character run is skipped. The `regex` tables are newer than the module's
(ICU 72, Unicode 15.0); they disagree only on characters assigned since,
none of which occurs in the training corpus.

The functions are module-level so scikit-learn can clone and pickle the
vectorizers that use them.
"""

import regex

_WORD = regex.compile(r"[\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\u200c\u200d]{2,}")


def words(text):
    """The words of `text`, in order, repeats kept."""
    return _WORD.findall(text)


def _pairs(word_list):
    # Neighbours in the word list, not in the text: whatever separated them,
    # a pair holds exactly one space.
    return [a + " " + b for a, b in zip(word_list, word_list[1:])]


def word_pairs(text):
    """The pairs of neighbouring words of `text`; no single words."""
    return _pairs(words(text))


def words_and_pairs(text):
    """The words of `text`, then its word pairs."""
    word_list = words(text)
    return word_list + _pairs(word_list)


def char_trigrams(text):
    """Every run of three consecutive code points, whitespace included.

    scikit-learn's own 'char' analyzer collapses whitespace first, which the
    module does not, so it must not be used for these vocabularies.
    """
    return [text[i : i + 3] for i in range(len(text) - 2)]
