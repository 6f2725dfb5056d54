#include "tfidf/vectorizer.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "common/fatal_error.h"
#include "common/thread_pool.h"
#include "tfidf/counting_scratch.h"

namespace vesko {
namespace {

// A count that reaches kWrap drops back to 1 and notes its column in
// `wrapped`, so 32-bit counts stay exact for texts of 4 GiB and more (a text
// has at most one term per byte).
constexpr std::uint32_t kWrap = UINT32_MAX;

// Adds one hit of `column`, which must be at most V (V: the miss sink).
// Branch-free but for the wrap: whether a hit is a column's first is as
// unpredictable as whether a lookup hits.
// `num_hit` is the caller's local, not a field, so that it stays in a register.
[[gnu::always_inline]] inline void count_column(MemberScratch& scratch, std::uint32_t* count,
                                                std::uint32_t* hit, std::size_t& num_hit,
                                                std::uint32_t column) {
  const std::uint32_t before = count[column];
  hit[num_hit] = column;
  num_hit += before == 0;
  if (before + 1 == kWrap) [[unlikely]] {
    count[column] = 1;
    scratch.wrapped.push_back(column);
    return;
  }
  count[column] = before + 1;
}

// Counts the ASCII trigrams that end in [first, last) (see
// AsciiTrigramTable::for_each_column) and returns the new number of hit
// columns. Everything the loop touches is a local or a parameter, so it stays
// in registers.
template <bool kPopcountInstruction>
[[gnu::always_inline]] inline std::size_t count_ascii_with(
    const AsciiTrigramTable& table, const unsigned char* first, const unsigned char* last,
    MemberScratch& scratch, std::uint32_t* count, std::uint32_t* hit, std::size_t num_hit) {
  table.for_each_column<kPopcountInstruction>(first, last, [&](std::uint32_t column) {
    count_column(scratch, count, hit, num_hit, column);
  });
  return num_hit;
}

// VESKO_PORTABLE compiles the loop only as a target without a popcount
// instruction runs it.
#if defined(__x86_64__) && !defined(__POPCNT__) && !defined(VESKO_PORTABLE)
// The build targets baseline x86-64, which lacks popcnt; nearly every x86-64
// processor has it, and a lookup needs one per trigram, so the loop is also
// compiled for it and chosen at run time.
[[gnu::target("popcnt")]] std::size_t count_ascii_popcnt(
    const AsciiTrigramTable& table, const unsigned char* first, const unsigned char* last,
    MemberScratch& scratch, std::uint32_t* count, std::uint32_t* hit, std::size_t num_hit) {
  return count_ascii_with<true>(table, first, last, scratch, count, hit, num_hit);
}

std::size_t count_ascii(const AsciiTrigramTable& table, const unsigned char* first,
                        const unsigned char* last, MemberScratch& scratch, std::uint32_t* count,
                        std::uint32_t* hit, std::size_t num_hit) {
  static const bool have_popcnt = __builtin_cpu_supports("popcnt");
  if (have_popcnt) return count_ascii_popcnt(table, first, last, scratch, count, hit, num_hit);
  return count_ascii_with<false>(table, first, last, scratch, count, hit, num_hit);
}
#else
std::size_t count_ascii(const AsciiTrigramTable& table, const unsigned char* first,
                        const unsigned char* last, MemberScratch& scratch, std::uint32_t* count,
                        std::uint32_t* hit, std::size_t num_hit) {
#if (defined(__POPCNT__) || defined(__aarch64__)) && !defined(VESKO_PORTABLE)
  return count_ascii_with<true>(table, first, last, scratch, count, hit, num_hit);
#else
  return count_ascii_with<false>(table, first, last, scratch, count, hit, num_hit);
#endif
}
#endif

// Restores the all-zero counts however the text ends (bad_alloc included).
class ScratchReset {
 public:
  explicit ScratchReset(MemberScratch& scratch, std::size_t num_columns)
      : scratch_(scratch), num_columns_(num_columns) {
    scratch_.count[num_columns_] = 1;
  }
  // The text is counted: its columns are the first `num_hit` of scratch.hit.
  void counted(std::size_t num_hit) { num_hit_ = num_hit; }
  ~ScratchReset() {
    std::uint32_t* const count = scratch_.count.data();
    if (num_hit_ == kUnknown) {
      // Left mid-count (out of memory): which columns were hit is not kept.
      std::fill(count, count + num_columns_ + 1, 0);
    } else {
      for (std::size_t k = 0; k < num_hit_; ++k) count[scratch_.hit[k]] = 0;
      count[num_columns_] = 0;
    }
    scratch_.wrapped.clear();
    scratch_.beyond.clear();
  }
  ScratchReset(const ScratchReset&) = delete;
  ScratchReset& operator=(const ScratchReset&) = delete;

 private:
  static constexpr std::size_t kUnknown = SIZE_MAX;
  MemberScratch& scratch_;
  std::size_t num_columns_;
  std::size_t num_hit_ = kUnknown;
};

// Sizes an empty entry array to n unset elements, to be written by the
// parallel fill, whose first touches then fault the pages in on every thread
// at once. Huge pages are asked for before that: a fresh mapping faults in
// 4 KiB at a time, which huge pages cut by 512. Only a hint: where it is
// refused, the pages are ordinary ones.
template <typename Array>
void size_unset(Array& v, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  if (n * sizeof(typename Array::value_type) >= 4 * kHugePage) {
    v.reserve(n);
    const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + n * sizeof(typename Array::value_type)) & ~(kHugePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#endif
  v.resize(n);
}

// ln(count) for the counts most terms have, read from a table filled by the
// same std::log, so sublinear weights keep their bits and skip most calls.
double log_of_count(std::uint64_t count) {
  static const std::array<double, 256> kLogs = [] {
    std::array<double, 256> logs{};
    for (std::size_t c = 1; c < logs.size(); ++c) logs[c] = std::log(static_cast<double>(c));
    return logs;
  }();
  return count < kLogs.size() ? kLogs[count] : std::log(static_cast<double>(count));
}

// What a mode takes from a text's words: the words, the pairs of
// neighbouring words, or both; and how many terms a text of n words has.
bool takes_words(TokenizerMode mode) {
  return mode == TokenizerMode::WordUnigrams || mode == TokenizerMode::WordUnigramsAndBigrams;
}
bool takes_pairs(TokenizerMode mode) {
  return mode == TokenizerMode::WordBigrams || mode == TokenizerMode::WordUnigramsAndBigrams;
}
std::size_t term_count(TokenizerMode mode, std::size_t words) {
  const std::size_t pairs = words >= 2 ? words - 1 : 0;
  return (takes_words(mode) ? words : 0) + (takes_pairs(mode) ? pairs : 0);
}

}  // namespace

// One text counted for every vectorizer of a group that shares one index:
// each member counts into a scratch of its own, and each term is looked up
// once for every member that takes that kind of term.
struct TfidfVectorizer::GroupCounter {
  enum Kind : std::uint8_t { kWord = 1, kPair = 2, kAny = 3 };

  struct Member {
    const TfidfVectorizer* vectorizer = nullptr;
    MemberScratch* scratch = nullptr;
    std::optional<ScratchReset> reset;
    std::uint32_t* count = nullptr;
    std::uint32_t* hit = nullptr;
    std::size_t num_hit = 0;
    std::size_t num_columns = 0;
    std::size_t lane = 0;
    std::uint8_t kinds = 0;  // the kinds of terms it counts; 0 for an empty vocabulary

    // Adds one hit of `column`; one not below V is only noted (a broken file).
    void add(std::uint64_t column) {
      if (column >= num_columns) [[unlikely]] {
        scratch->beyond.push_back(column);
        return;
      }
      count_column(*scratch, count, hit, num_hit, static_cast<std::uint32_t>(column));
    }
  };

  const TermIndex& index;
  HeldScratch held;  // outlives the members' resets of it
  std::array<Member, TermIndex::kLanes> members;
  std::size_t size;

  // Lookups are bound by memory latency, not by work: short terms are packed
  // and their index slots prefetched a batch at a time, then probed, then the
  // count slots of the columns found prefetched before they are bumped.
  static constexpr std::size_t kBatch = 32;
  TermIndex::Key keys[kBatch];
  std::uint64_t hashes[kBatch];
  Kind kinds[kBatch];
  std::size_t pending = 0;

  explicit GroupCounter(std::span<const TfidfVectorizer* const> group)
      : index(*group[0]->index_), size(group.size()) {
    for (std::size_t m = 0; m < size; ++m) {
      const TfidfVectorizer& v = *group[m];
      Member& member = members[m];
      member.vectorizer = &v;
      member.num_columns = v.vocabulary_.size();
      member.lane = v.lane_;
      // An empty vocabulary finds nothing, so it needs no term at all.
      if (member.num_columns == 0) continue;
      const TokenizerMode mode = v.tokenizer_.mode();
      member.kinds = mode == TokenizerMode::CharTrigrams
                         ? kAny
                         : (takes_words(mode) ? kWord : 0) | (takes_pairs(mode) ? kPair : 0);
      MemberScratch& scratch = held.get().members[m];
      if (scratch.count.size() <= member.num_columns) {
        scratch.count.resize(member.num_columns + 1, 0);
        scratch.hit.resize(member.num_columns + 1);
      }
      const std::size_t num_words = (member.num_columns + 63) / 64;
      if (scratch.seen.size() < num_words) scratch.seen.resize(num_words, 0);
      member.scratch = &scratch;
      member.reset.emplace(scratch, member.num_columns);
      member.count = scratch.count.data();
      member.hit = scratch.hit.data();
    }
  }

  void flush() {
    struct Found {
      Member* member;
      std::uint64_t column;
    };
    Found found[kBatch * TermIndex::kLanes];
    std::size_t num_found = 0;
    for (std::size_t k = 0; k < pending; ++k) {
      const TermIndex::Columns* columns = index.find_packed(keys[k], hashes[k]);
      if (columns == nullptr) continue;
      for (std::size_t m = 0; m < size; ++m) {
        Member& member = members[m];
        if ((member.kinds & kinds[k]) == 0) continue;
        const std::uint32_t column = (*columns)[member.lane];
        if (column == TermIndex::kAbsent) continue;
        if (column == TermIndex::kBeyond) [[unlikely]] {
          found[num_found++] = {&member, exact_column(member, keys[k])};
          continue;
        }
        if (column < member.num_columns) __builtin_prefetch(&member.count[column]);
        found[num_found++] = {&member, column};
      }
    }
    for (std::size_t k = 0; k < num_found; ++k) found[k].member->add(found[k].column);
    pending = 0;
  }

  // A column too large for the index, read from the member's vocabulary.
  static std::uint64_t exact_column(const Member& member, const TermIndex::Key& key) {
    return member.vectorizer->vocabulary_.find(TermIndex::unpack(key))->second;
  }

  void look_up(std::string_view term, Kind kind) {
    if (TermIndex::packable(term)) {
      const TermIndex::Key key = TermIndex::pack(term);
      const std::uint64_t hash = index.hash(key);
      if (!index.may_hold(hash)) return;
      index.prefetch(key, hash);
      keys[pending] = key;
      hashes[pending] = hash;
      kinds[pending++] = kind;
      if (pending == kBatch) flush();
      return;
    }
    if (!index.may_hold(index.hash_unpacked(term))) return;
    for (std::size_t m = 0; m < size; ++m) {
      Member& member = members[m];
      if ((member.kinds & kind) == 0) continue;
      const Vocabulary& vocabulary = member.vectorizer->vocabulary_;
      const auto found = vocabulary.find(term);
      if (found != vocabulary.end()) member.add(found->second);
    }
  }

  // Counts `text` for every member; returns the number of words (for the
  // word modes) or of trigrams (for a CharTrigrams group of one).
  std::size_t count(std::string_view text) {
    std::uint8_t wanted = 0;
    for (std::size_t m = 0; m < size; ++m) wanted |= members[m].kinds;
    if (wanted == 0) return 0;
    const TfidfVectorizer& first = *members[0].vectorizer;
    if (first.tokenizer_.mode() == TokenizerMode::CharTrigrams) return count_trigrams(text);

    std::size_t num_words = 0;
    auto on_term = [this](std::string_view term, Kind kind) { look_up(term, kind); };
    if ((wanted & kPair) == 0) {
      first.tokenizer_.for_each_word(text, [&](std::string_view word) {
        ++num_words;
        on_term(word, kWord);
      });
    } else {
      TokenScratch& tokens = held.get().tokens;
      tokens.words.clear();
      first.tokenizer_.for_each_word(text, [&](std::string_view word) {
        tokens.words.push_back(word);
        if (wanted & kWord) on_term(word, kWord);
      });
      num_words = tokens.words.size();
      for (std::size_t i = 1; i < num_words; ++i) {
        Tokenizer::for_pair(tokens.words[i - 1], tokens.words[i], tokens,
                            [&](std::string_view pair) { on_term(pair, kPair); });
      }
    }
    flush();
    return num_words;
  }

  std::size_t count_trigrams(std::string_view text) {
    Member& member = members[0];
    const TfidfVectorizer& v = *member.vectorizer;
    std::size_t num_terms = 0;
    if (v.trigrams_.enabled()) {
      // The table's columns are all at most V (V for a miss), so no check.
      num_terms = v.trigrams_.scan(
          text,
          [&](const unsigned char* first, const unsigned char* last) {
            member.num_hit = count_ascii(v.trigrams_, first, last, *member.scratch, member.count,
                                         member.hit, member.num_hit);
          },
          [&](std::string_view trigram) { look_up(trigram, kAny); });
    } else {
      v.tokenizer_.for_each_term(text, held.get().tokens, [&](std::string_view term) {
        ++num_terms;
        look_up(term, kAny);
      });
    }
    flush();
    return num_terms;
  }
};

TfidfVectorizer::TfidfVectorizer(TfidfModel&& model, TokenizerMode mode)
    : vocabulary_(std::move(model.vocabulary)),
      trigrams_(mode == TokenizerMode::CharTrigrams ? AsciiTrigramTable(vocabulary_)
                                                    : AsciiTrigramTable()),
      idf_(std::move(model.idf)),
      sublinear_tf_(model.sublinear_tf),
      norm_(std::move(model.norm)),
      norm_kind_(norm_ == "l2"   ? Norm::kL2
                 : norm_ == "l1" ? Norm::kL1
                                 : Norm::kNone),
      tokenizer_(mode) {
  const Vocabulary* own[] = {&vocabulary_};
  index_ = std::make_shared<const TermIndex>(own);
}

TfidfVectorizer TfidfVectorizer::from_model(TfidfModel&& model, TokenizerMode mode) {
  return TfidfVectorizer(std::move(model), mode);
}

void TfidfVectorizer::share_term_index(std::span<TfidfVectorizer* const> vectorizers) {
  std::vector<const Vocabulary*> vocabularies;
  for (TfidfVectorizer* v : vectorizers) {
    vocabularies.push_back(&v->vocabulary_);
    v->index_.reset();  // before the shared one is built: the peak of a load holds one index
  }
  auto shared = std::make_shared<const TermIndex>(vocabularies);
  for (std::size_t lane = 0; lane < vectorizers.size(); ++lane) {
    vectorizers[lane]->index_ = shared;
    vectorizers[lane]->lane_ = lane;
  }
}

template <typename Counts>
void TfidfVectorizer::finish_row(Counts& member, std::size_t num_terms, TfidfRow& row) const {
  MemberScratch& scratch = *member.scratch;
  std::uint32_t* const hit = member.hit;
  const std::size_t num_hit = member.num_hit;
  const std::size_t num_words = (member.num_columns + 63) / 64;
  member.reset->counted(num_hit);

  // Columns in ascending order. Beyond a few hits per 512 columns, reading
  // them off a bitmap beats sorting them.
  std::span<const std::uint32_t> columns(hit, num_hit);
  if (num_hit * 8 > num_words) {
    scratch.ordered.resize(num_hit);  // first: `seen` must not keep bits if this throws
    std::uint64_t* const seen = scratch.seen.data();
    for (std::uint32_t column : columns) seen[column >> 6] |= std::uint64_t{1} << (column & 63);
    std::uint32_t* out = scratch.ordered.data();
    for (std::size_t w = 0; w < num_words; ++w) {
      for (std::uint64_t bits = seen[w]; bits != 0; bits &= bits - 1) {
        *out++ = static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits));
      }
      seen[w] = 0;
    }
    columns = std::span<const std::uint32_t>(scratch.ordered.data(), num_hit);
  } else {
    std::sort(hit, hit + num_hit);
  }

  const std::size_t idf_len = idf_.size();
  const bool high_hit = !columns.empty() && columns.back() >= idf_len;
  if (high_hit || !scratch.beyond.empty()) [[unlikely]] {
    // Reported as the smallest offending column of the row: a stable choice
    // among those the model file gets wrong.
    std::uint64_t smallest = UINT64_MAX;
    for (std::uint32_t column : columns) {
      if (column >= idf_len) {
        smallest = column;
        break;
      }
    }
    bool below_idf_len = false;
    for (std::uint64_t column : scratch.beyond) {
      if (column >= idf_len) {
        smallest = std::min(smallest, column);
      } else {
        below_idf_len = true;
      }
    }
    if (smallest != UINT64_MAX) {
      row.idf_failure = true;
      row.idf_column = static_cast<std::size_t>(smallest);
    } else {
      row.shape_failure = below_idf_len;
    }
    return;
  }

  row.entries.resize(columns.size());
  const double total = static_cast<double>(num_terms);
  const double* const idf = idf_.data();
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const std::uint32_t column = columns[k];
    std::uint64_t hits = member.count[column];
    if (!scratch.wrapped.empty()) [[unlikely]] {
      for (std::uint32_t w : scratch.wrapped) hits += w == column ? kWrap - 1 : 0;
    }
    const double count = static_cast<double>(hits);
    const double weight = sublinear_tf_ ? 1.0 + log_of_count(hits) : count / total;
    row.entries[k] = {column, weight * idf[column]};
  }

  // Sums run in ascending column order from 0.0, as in training.
  if (norm_kind_ == Norm::kL2) {
    double sum = 0.0;
    for (const TfidfRow::Entry& entry : row.entries) sum += entry.value * entry.value;
    if (sum > 0.0) {
      const double length = std::sqrt(sum);
      for (TfidfRow::Entry& entry : row.entries) entry.value /= length;
    }
  } else if (norm_kind_ == Norm::kL1) {
    double sum = 0.0;
    for (const TfidfRow::Entry& entry : row.entries) sum += std::fabs(entry.value);
    if (sum > 0.0) {
      for (TfidfRow::Entry& entry : row.entries) entry.value /= sum;
    }
  }
}

std::vector<std::vector<TfidfRow>> TfidfVectorizer::count_together(
    std::span<const TfidfVectorizer* const> group, std::span<const std::string> texts) {
  std::vector<std::vector<TfidfRow>> rows(group.size());
  for (std::vector<TfidfRow>& member_rows : rows) member_rows.resize(texts.size());
  parallel_for_index(texts.size(), [&](std::size_t t) {
    GroupCounter counter(group);
    const std::size_t counted = counter.count(texts[t]);
    for (std::size_t m = 0; m < group.size(); ++m) {
      GroupCounter::Member& member = counter.members[m];
      if (member.kinds == 0) continue;
      const TokenizerMode mode = member.vectorizer->tokenizer_.mode();
      const std::size_t num_terms =
          mode == TokenizerMode::CharTrigrams ? counted : term_count(mode, counted);
      member.vectorizer->finish_row(member, num_terms, rows[m][t]);
    }
  });
  return rows;
}

CsrMatrix TfidfVectorizer::transform(std::span<const std::string> texts) const {
  const TfidfVectorizer* self[] = {this};
  return to_matrix(std::move(count_together(self, texts)[0]));
}

CsrMatrix TfidfVectorizer::to_matrix(std::vector<TfidfRow>&& rows) const {
  const std::size_t num_rows = rows.size();
  // Every text's idf failure comes before any shape failure, as the triplets
  // are checked against idf before the matrix checks its shape.
  for (const TfidfRow& row : rows) {
    if (row.idf_failure) throw_index_out_of_bounds(idf_.size(), row.idf_column);
  }
  for (const TfidfRow& row : rows) {
    if (row.shape_failure) throw_column_outside_shape();
  }

  std::vector<std::size_t> indptr(num_rows + 1);
  indptr[0] = 0;
  for (std::size_t i = 0; i < num_rows; ++i) indptr[i + 1] = indptr[i] + rows[i].entries.size();
  CsrMatrix::Indices indices;
  CsrMatrix::Values data;
  size_unset(indices, indptr[num_rows]);
  size_unset(data, indptr[num_rows]);
  parallel_for_index(num_rows, [&](std::size_t i) {
    std::size_t at = indptr[i];
    for (const TfidfRow::Entry& entry : rows[i].entries) {
      indices[at] = entry.column;
      data[at] = entry.value;
      ++at;
    }
    // Released here, on many threads, rather than all at once by `rows`.
    std::vector<TfidfRow::Entry>().swap(rows[i].entries);
  });
  return CsrMatrix::from_sorted_parts(num_rows, num_columns(), std::move(indptr),
                                      std::move(indices), std::move(data));
}

}  // namespace vesko
