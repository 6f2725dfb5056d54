#include "tfidf/vectorizer.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

#include "common/fatal_error.h"
#include "common/thread_pool.h"

namespace vesko {
namespace {

// Per-thread counting state, reused by every text and every vectorizer that
// runs on the thread. `count` is indexed by column and stays all zero between
// texts, so a text costs work in proportion to its own terms, never to V.
// Columns are below V, and a vocabulary has far fewer than 2^32 entries (its
// keys alone would need over 100 GiB), so columns fit 32 bits; narrow columns
// also sort faster, and narrow counts keep the hot part of `count` in L1.
struct Scratch {
  // column -> hits in this text, below kWrap. Slot V is a sink for lookups
  // that missed: it holds 1 during a text, so a miss is never a first hit.
  std::vector<std::uint32_t> count;
  std::vector<std::uint32_t> hit;      // the columns hit, by first hit
  std::vector<std::uint64_t> seen;     // bit per column, all zero between texts
  std::vector<std::uint32_t> ordered;  // columns in ascending order, read from `seen`
  std::vector<std::uint32_t> wrapped;  // a column once per kWrap - 1 hits it has shed
  std::vector<std::uint64_t> beyond;   // hit columns >= V: only a broken model file
  TokenScratch tokens;
};

// A count that reaches kWrap drops back to 1 and notes its column in
// `wrapped`, so 32-bit counts stay exact for texts of 4 GiB and more (a text
// has at most one term per byte).
constexpr std::uint32_t kWrap = UINT32_MAX;

Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Adds one hit of `column`, which must be at most V (V: the miss sink).
// Branch-free but for the wrap: whether a hit is a column's first is as
// unpredictable as whether a lookup hits.
// `num_hit` is the caller's local, not a field, so that it stays in a register.
[[gnu::always_inline]] inline void count_column(Scratch& scratch, std::uint32_t* count,
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
    Scratch& scratch, std::uint32_t* count, std::uint32_t* hit, std::size_t num_hit) {
  table.for_each_column<kPopcountInstruction>(first, last, [&](std::uint32_t column) {
    count_column(scratch, count, hit, num_hit, column);
  });
  return num_hit;
}

#if defined(__x86_64__) && !defined(__POPCNT__)
// The build targets baseline x86-64, which lacks popcnt; nearly every x86-64
// processor has it, and a lookup needs one per trigram, so the loop is also
// compiled for it and chosen at run time.
[[gnu::target("popcnt")]] std::size_t count_ascii_popcnt(const AsciiTrigramTable& table,
                                                         const unsigned char* first,
                                                         const unsigned char* last,
                                                         Scratch& scratch, std::uint32_t* count,
                                                         std::uint32_t* hit, std::size_t num_hit) {
  return count_ascii_with<true>(table, first, last, scratch, count, hit, num_hit);
}

std::size_t count_ascii(const AsciiTrigramTable& table, const unsigned char* first,
                        const unsigned char* last, Scratch& scratch, std::uint32_t* count,
                        std::uint32_t* hit, std::size_t num_hit) {
  static const bool have_popcnt = __builtin_cpu_supports("popcnt");
  if (have_popcnt) return count_ascii_popcnt(table, first, last, scratch, count, hit, num_hit);
  return count_ascii_with<false>(table, first, last, scratch, count, hit, num_hit);
}
#else
std::size_t count_ascii(const AsciiTrigramTable& table, const unsigned char* first,
                        const unsigned char* last, Scratch& scratch, std::uint32_t* count,
                        std::uint32_t* hit, std::size_t num_hit) {
#if defined(__POPCNT__) || defined(__aarch64__)
  return count_ascii_with<true>(table, first, last, scratch, count, hit, num_hit);
#else
  return count_ascii_with<false>(table, first, last, scratch, count, hit, num_hit);
#endif
}
#endif

// Restores the all-zero counts however the text ends (bad_alloc included).
class ScratchReset {
 public:
  explicit ScratchReset(Scratch& scratch, std::size_t num_columns)
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
  Scratch& scratch_;
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
    const std::uintptr_t last =
        (begin + n * sizeof(typename Array::value_type)) & ~(kHugePage - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#endif
  v.resize(n);
}

}  // namespace

struct TfidfVectorizer::Row {
  struct Entry {
    std::size_t column;
    double value;
  };
  std::vector<Entry> entries;  // ascending columns
  bool idf_failure = false;    // a hit column >= idf length ...
  std::size_t idf_column = 0;  // ... the smallest of them
  bool shape_failure = false;  // a hit column < idf length but >= V
};

TfidfVectorizer::TfidfVectorizer(TfidfModel&& model, TokenizerMode mode)
    : vocabulary_(std::move(model.vocabulary)),
      index_(vocabulary_),
      trigrams_(mode == TokenizerMode::CharTrigrams ? AsciiTrigramTable(vocabulary_)
                                                    : AsciiTrigramTable()),
      idf_(std::move(model.idf)),
      sublinear_tf_(model.sublinear_tf),
      norm_(std::move(model.norm)),
      norm_kind_(norm_ == "l2"   ? Norm::kL2
                 : norm_ == "l1" ? Norm::kL1
                                 : Norm::kNone),
      tokenizer_(mode) {}

TfidfVectorizer TfidfVectorizer::from_model(TfidfModel&& model, TokenizerMode mode) {
  return TfidfVectorizer(std::move(model), mode);
}

void TfidfVectorizer::compute_row(std::string_view text, Row& row) const {
  const std::size_t num_columns = vocabulary_.size();
  // An empty vocabulary finds nothing, so no term needs to be made at all.
  if (num_columns == 0) return;
  Scratch& scratch = thread_scratch();
  if (scratch.count.size() <= num_columns) {
    scratch.count.resize(num_columns + 1, 0);
    scratch.hit.resize(num_columns + 1);
  }
  const std::size_t num_words = (num_columns + 63) / 64;
  if (scratch.seen.size() < num_words) scratch.seen.resize(num_words, 0);
  ScratchReset reset(scratch, num_columns);
  std::size_t num_hit = 0;
  std::uint32_t* const count = scratch.count.data();
  std::uint32_t* const hit = scratch.hit.data();
  auto count_found = [&](std::uint64_t column) {
    if (column >= num_columns) [[unlikely]] {
      scratch.beyond.push_back(column);
      return;
    }
    count_column(scratch, count, hit, num_hit, static_cast<std::uint32_t>(column));
  };

  // Lookups are bound by memory latency, not by work: short terms are packed
  // and their index slots prefetched a batch at a time, then probed, then the
  // count slots of the columns found prefetched before they are bumped.
  constexpr std::size_t kBatch = 32;
  TermIndex::Key keys[kBatch];
  std::uint64_t hashes[kBatch];
  std::uint64_t found_columns[kBatch];
  std::size_t pending = 0;
  auto flush = [&] {
    std::size_t found = 0;
    for (std::size_t k = 0; k < pending; ++k) {
      std::uint64_t& column = found_columns[found];
      if (index_.find_packed(keys[k], hashes[k], column)) {
        if (column < num_columns) __builtin_prefetch(&count[column]);
        ++found;
      }
    }
    for (std::size_t k = 0; k < found; ++k) count_found(found_columns[k]);
    pending = 0;
  };

  auto look_up = [&](std::string_view term) {
    if (TermIndex::packable(term)) {
      const TermIndex::Key key = TermIndex::pack(term);
      const std::uint64_t hash = index_.hash(key);
      if (!index_.may_hold(hash)) return;
      index_.prefetch(key, hash);
      keys[pending] = key;
      hashes[pending++] = hash;
      if (pending == kBatch) flush();
      return;
    }
    std::uint64_t column;
    if (index_.may_hold(index_.hash_unpacked(term)) &&
        TermIndex::find_unpacked(vocabulary_, term, column)) {
      count_found(column);
    }
  };

  std::size_t num_terms = 0;  // every term, found or not
  if (trigrams_.enabled()) {
    // The table's columns are all at most V (V for a miss), so no check.
    num_terms = trigrams_.scan(
        text,
        [&](const unsigned char* first, const unsigned char* last) {
          num_hit = count_ascii(trigrams_, first, last, scratch, count, hit, num_hit);
        },
        look_up);
  } else {
    tokenizer_.for_each_term(text, scratch.tokens, [&](std::string_view term) {
      ++num_terms;
      look_up(term);
    });
  }
  flush();
  reset.counted(num_hit);

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
    std::uint64_t hits = count[column];
    if (!scratch.wrapped.empty()) [[unlikely]] {
      for (std::uint32_t w : scratch.wrapped) hits += w == column ? kWrap - 1 : 0;
    }
    const double count = static_cast<double>(hits);
    const double weight = sublinear_tf_ ? 1.0 + std::log(count) : count / total;
    row.entries[k] = {column, weight * idf[column]};
  }

  // Sums run in ascending column order from 0.0, as in training.
  if (norm_kind_ == Norm::kL2) {
    double sum = 0.0;
    for (const Row::Entry& entry : row.entries) sum += entry.value * entry.value;
    if (sum > 0.0) {
      const double length = std::sqrt(sum);
      for (Row::Entry& entry : row.entries) entry.value /= length;
    }
  } else if (norm_kind_ == Norm::kL1) {
    double sum = 0.0;
    for (const Row::Entry& entry : row.entries) sum += std::fabs(entry.value);
    if (sum > 0.0) {
      for (Row::Entry& entry : row.entries) entry.value /= sum;
    }
  }
}

CsrMatrix TfidfVectorizer::transform(std::span<const std::string> texts) const {
  const std::size_t num_rows = texts.size();
  const std::size_t num_columns = vocabulary_.size();
  std::vector<Row> rows(num_rows);
  parallel_for_index(num_rows, [&](std::size_t i) { compute_row(texts[i], rows[i]); });

  // Every text's idf failure comes before any shape failure, as the triplets
  // are checked against idf before the matrix checks its shape.
  for (const Row& row : rows) {
    if (row.idf_failure) throw_index_out_of_bounds(idf_.size(), row.idf_column);
  }
  for (const Row& row : rows) {
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
    for (const Row::Entry& entry : rows[i].entries) {
      indices[at] = entry.column;
      data[at] = entry.value;
      ++at;
    }
    // Released here, on many threads, rather than all at once by `rows`.
    std::vector<Row::Entry>().swap(rows[i].entries);
  });
  return CsrMatrix::from_sorted_parts(num_rows, num_columns, std::move(indptr), std::move(indices),
                                      std::move(data));
}

}  // namespace vesko
