// The counting scratch of the TF-IDF vectorizers: what counting one text
// needs, kept per thread and reused by every text and every vectorizer that
// runs on the thread, so that a text costs no allocation once the buffers have
// grown.
//
// A text holds its thread's scratch (HeldScratch) from its first term to its
// finished rows. Counting a text neither waits for other work nor calls out,
// so no other counting starts on the thread while it holds the scratch.
// Should one ever do so, it counts in a scratch of its own instead of sharing
// the one in use: the thread's scratch is never used by two countings at once.
#ifndef VESKO_TFIDF_COUNTING_SCRATCH_H_
#define VESKO_TFIDF_COUNTING_SCRATCH_H_

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "tfidf/term_index.h"
#include "tfidf/tokenizer.h"

namespace vesko {

// One vectorizer's counts of one text. `count` is indexed by column and stays
// all zero between texts, so a text costs work in proportion to its own terms,
// never to V. Columns are below V, and a vocabulary has far fewer than 2^32
// entries (its keys alone would need over 100 GiB), so columns fit 32 bits;
// narrow columns also sort faster, and narrow counts keep the hot part of
// `count` in L1.
struct MemberScratch {
  // column -> hits in this text. Slot V is a sink for lookups that missed: it
  // holds 1 during a text, so a miss is never a first hit.
  std::vector<std::uint32_t> count;
  std::vector<std::uint32_t> hit;      // the columns hit, by first hit
  std::vector<std::uint64_t> seen;     // bit per column, all zero between texts
  std::vector<std::uint32_t> ordered;  // columns in ascending order, read from `seen`
  std::vector<std::uint32_t> wrapped;  // a column once per 2^32 - 2 hits it has shed
  std::vector<std::uint64_t> beyond;   // hit columns >= V: only a broken model file
};

// What counting one text uses: a MemberScratch per member of the group of
// vectorizers counted together, and the words they share.
struct CountingScratch {
  std::array<MemberScratch, TermIndex::kLanes> members;
  TokenScratch tokens;
  bool held = false;  // by a text being counted on this thread
};

// The counting scratch of one text: the thread's own, or, while that is
// held, a fresh one of its own.
class HeldScratch {
 public:
  HeldScratch();
  ~HeldScratch();
  HeldScratch(const HeldScratch&) = delete;
  HeldScratch& operator=(const HeldScratch&) = delete;

  CountingScratch& get() { return own_ ? *own_ : thread_; }

 private:
  CountingScratch& thread_;
  std::unique_ptr<CountingScratch> own_;  // when the thread's was held already
};

}  // namespace vesko

#endif  // VESKO_TFIDF_COUNTING_SCRATCH_H_
