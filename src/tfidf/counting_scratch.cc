#include "tfidf/counting_scratch.h"

namespace vesko {
namespace {

// Reached through a call that is never inlined: in a shared library every
// access to a thread_local costs a call to __tls_get_addr, and the compiler
// re-derives an inlined address at each use rather than keep it in a
// register.
[[gnu::noinline]] CountingScratch& thread_counting_scratch() {
  thread_local CountingScratch scratch;
  return scratch;
}

}  // namespace

HeldScratch::HeldScratch() : thread_(thread_counting_scratch()) {
  if (thread_.held) {
    own_ = std::make_unique<CountingScratch>();
  } else {
    thread_.held = true;
  }
}

HeldScratch::~HeldScratch() {
  if (!own_) thread_.held = false;
}

}  // namespace vesko
