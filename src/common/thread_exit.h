// ThreadExit: what pthread_exit and pthread_cancel unwind a thread's stack
// with. CPython ends a daemon thread that wakes up to a finalized interpreter
// this way, from inside whatever call of the interpreter it was in, so such an
// unwind may pass through any of our frames that call into Python. It must go
// through every one of them: a catch-all that does not rethrow it aborts the
// process ("FATAL: exception not rethrown"), and so does a noexcept frame on
// its path. Every catch (...) that does not end in `throw;` is preceded by
//   catch (ThreadExit&) { throw; }
#ifndef VESKO_COMMON_THREAD_EXIT_H_
#define VESKO_COMMON_THREAD_EXIT_H_

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace vesko {

#if defined(__GLIBCXX__)
using ThreadExit = abi::__forced_unwind;
#else
// Other C++ runtimes unwind an exiting thread with no exception object that a
// handler can name: a type that is never thrown keeps the handlers valid.
struct ThreadExit {};
#endif

}  // namespace vesko

#endif  // VESKO_COMMON_THREAD_EXIT_H_
