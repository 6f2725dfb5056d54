#include "tfidf/vectorizer.h"

#include <sys/mman.h>
#include <tbb/parallel_invoke.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

#include "common/fatal_error.h"
#include "common/thread_pool.h"

namespace vesko {
namespace {

// Per-thread counting state, reused by every text and every vectorizer that
// runs on the thread. `slot` is indexed by column and stays all zero between
// texts, so a text costs work in proportion to its own terms, never to V.
// Columns are below V, and a vocabulary has far fewer than 2^32 entries (its
// keys alone would need over 100 GiB), so columns and hit positions fit 32
// bits; narrow columns also sort faster.
struct Scratch {
  std::vector<std::uint32_t> slot;     // column -> 1 + its position in counts; 0: not hit
  std::vector<std::size_t> counts;     // by position of first hit
  std::vector<std::uint32_t> columns;  // the columns hit, first in order of first hit
  std::vector<std::uint64_t> seen;     // bit per column: hit in this text
  std::vector<std::uint32_t> ordered;  // columns in ascending order, read from `seen`
  std::vector<std::uint64_t> beyond;   // hit columns >= V: only a broken model file
  TokenScratch tokens;
};

Scratch& thread_scratch() {
  thread_local Scratch scratch;
  return scratch;
}

// Restores the all-zero slots however the text ends (bad_alloc included).
class ScratchReset {
 public:
  explicit ScratchReset(Scratch& scratch) : scratch_(scratch) {}
  ~ScratchReset() {
    for (std::uint32_t column : scratch_.columns) {
      scratch_.slot[column] = 0;
      scratch_.seen[column >> 6] = 0;
    }
    scratch_.columns.clear();
    scratch_.counts.clear();
    scratch_.beyond.clear();
  }
  ScratchReset(const ScratchReset&) = delete;
  ScratchReset& operator=(const ScratchReset&) = delete;

 private:
  Scratch& scratch_;
};

// Sizes an empty vector to n zeros. The zeroing runs on one thread and, for
// a large batch, costs mostly page faults (a fresh mapping faults in 4 KiB at
// a time); asking for huge pages before the first touch cuts the faults by
// 512. Only a hint: where it is refused, the pages are ordinary ones.
template <typename T>
void size_fresh(std::vector<T>& v, std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{1} << 21;
  if (n * sizeof(T) >= 4 * kHugePage) {
    v.reserve(n);
    const auto begin = reinterpret_cast<std::uintptr_t>(v.data());
    const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    const std::uintptr_t last = (begin + n * sizeof(T)) & ~(kHugePage - 1);
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
  if (scratch.slot.size() < num_columns) scratch.slot.resize(num_columns, 0);
  const std::size_t num_words = (num_columns + 63) / 64;
  if (scratch.seen.size() < num_words) scratch.seen.resize(num_words, 0);
  ScratchReset reset(scratch);

  auto count_column = [&](std::uint64_t column) {
    if (column >= num_columns) [[unlikely]] {
      scratch.beyond.push_back(column);
      return;
    }
    std::uint32_t& slot = scratch.slot[column];
    if (slot == 0) {
      scratch.seen[column >> 6] |= std::uint64_t{1} << (column & 63);
      scratch.columns.push_back(static_cast<std::uint32_t>(column));
      scratch.counts.push_back(1);
      slot = static_cast<std::uint32_t>(scratch.counts.size());
    } else {
      ++scratch.counts[slot - 1];
    }
  };

  // Lookups are bound by memory latency, not by work: short terms are packed
  // and their index slots prefetched a batch at a time, then probed, then the
  // count slots of the columns found prefetched before they are bumped.
  constexpr std::size_t kBatch = 32;
  TermIndex::Key keys[kBatch];
  std::uint64_t found_columns[kBatch];
  std::size_t pending = 0;
  auto flush = [&] {
    std::size_t found = 0;
    for (std::size_t k = 0; k < pending; ++k) {
      std::uint64_t& column = found_columns[found];
      if (index_.find_packed(keys[k], column)) {
        if (column < num_columns) __builtin_prefetch(&scratch.slot[column]);
        ++found;
      }
    }
    for (std::size_t k = 0; k < found; ++k) count_column(found_columns[k]);
    pending = 0;
  };

  std::size_t num_terms = 0;  // every term, found or not
  tokenizer_.for_each_term(text, scratch.tokens, [&](std::string_view term) {
    ++num_terms;
    if (TermIndex::packable(term)) {
      const TermIndex::Key key = TermIndex::pack(term);
      index_.prefetch(key);
      keys[pending++] = key;
      if (pending == kBatch) flush();
      return;
    }
    std::uint64_t column;
    if (TermIndex::find_unpacked(vocabulary_, term, column)) count_column(column);
  });
  flush();

  // Columns in ascending order. Beyond a few hits per 512 columns, reading
  // them off the bitmap beats sorting them.
  std::vector<std::uint32_t>& columns = scratch.columns;
  const std::uint32_t* const slot = scratch.slot.data();
  if (columns.size() * 8 > num_words) {
    scratch.ordered.clear();
    const std::uint64_t* const seen = scratch.seen.data();
    for (std::size_t w = 0; w < num_words; ++w) {
      for (std::uint64_t bits = seen[w]; bits != 0; bits &= bits - 1) {
        scratch.ordered.push_back(static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits)));
      }
    }
    columns.swap(scratch.ordered);
  } else {
    std::sort(columns.begin(), columns.end());
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
    const double count = static_cast<double>(scratch.counts[slot[column] - 1]);
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
  ensure_thread_pool();
  std::vector<Row> rows(num_rows);
  parallel_for_index(num_rows, [&](std::size_t i) { compute_row(texts[i], rows[i]); });

  // Every text's idf failure comes before any shape failure, as the triplets
  // are checked against idf before the matrix checks its shape.
  for (const Row& row : rows) {
    if (row.idf_failure) throw_index_out_of_bounds(idf_.size(), row.idf_column);
  }
  for (const Row& row : rows) {
    if (row.shape_failure) throw FatalError("col indices should be within shape");
  }

  std::vector<std::size_t> indptr(num_rows + 1);
  indptr[0] = 0;
  for (std::size_t i = 0; i < num_rows; ++i) indptr[i + 1] = indptr[i] + rows[i].entries.size();
  std::vector<std::size_t> indices;
  std::vector<double> data;
  tbb::parallel_invoke([&] { size_fresh(indices, indptr[num_rows]); },
                       [&] { size_fresh(data, indptr[num_rows]); });
  parallel_for_index(num_rows, [&](std::size_t i) {
    std::size_t at = indptr[i];
    for (const Row::Entry& entry : rows[i].entries) {
      indices[at] = entry.column;
      data[at] = entry.value;
      ++at;
    }
  });
  return CsrMatrix::from_sorted_parts(num_rows, num_columns, std::move(indptr), std::move(indices),
                                      std::move(data));
}

}  // namespace vesko
