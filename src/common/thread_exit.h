// A thread's exit in the middle of a call. pthread_exit and pthread_cancel end
// a thread by unwinding its stack, and CPython ends a daemon thread that wakes
// up to a finalized interpreter this way, from inside whatever call of the
// interpreter it was in; so such an unwind may pass through any of our frames
// that call into Python. It must go through every one of them: a catch-all
// that does not rethrow it aborts the process ("FATAL: exception not
// rethrown"), and so does a noexcept frame on its path. Every catch (...)
// that does not end in `throw;` begins with
//   if (caught_thread_exit()) throw;
#ifndef VESKO_COMMON_THREAD_EXIT_H_
#define VESKO_COMMON_THREAD_EXIT_H_

#include <exception>

namespace vesko {

// Inside a catch (...) handler: true when what was caught is no C++
// exception but an unwind that carries no exception object, such as a
// thread's exit, which the handler must let go on. (Catching the runtime's
// own tag type for it, abi::__forced_unwind, binds a reference to no object.)
inline bool caught_thread_exit() { return std::current_exception() == nullptr; }

}  // namespace vesko

#endif  // VESKO_COMMON_THREAD_EXIT_H_
