// ThreadEnding: how a catch-all handler recognises the unwinding that ends its
// thread (pthread_exit, cancellation), which is no failure to report. The host
// ends a thread that way when the thread takes the interpreter lock back while
// the interpreter shuts down. A handler that meets it must rethrow it: one that
// swallows it, like a noexcept frame it reaches, ends the whole process.
#pragma once

#if defined(__GLIBCXX__)
#include <cxxabi.h>

namespace marblewick {
// libstdc++ shows that unwinding to catch (...) under this type.
using ThreadEnding = abi::__forced_unwind;
}  // namespace marblewick
#else
namespace marblewick {
// Other C++ runtimes give that unwinding to no catch handler at all, so there
// is nothing to let pass: this type is never thrown.
struct ThreadEnding {};
}  // namespace marblewick
#endif
