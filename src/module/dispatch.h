// execute_command: payload parsing, the command table and result writing.
#pragma once

#include <string>
#include <string_view>

#include "analysis/grammar_loader.h"
#include "base/expected.h"

namespace marblewick {

// What the boundary lends a call so that the call's native work can let other
// host threads run. The core never touches a host object, so the only rule is
// the order: released once the payload is read, and never taken back by the
// core: the boundary takes it back once execute_command has returned, whatever
// it returned or threw. (While the host shuts down, taking it back may end the
// thread by unwinding its stack, which must then hold no frame of the core.)
class HostLock {
 public:
  virtual void release() noexcept = 0;

 protected:
  ~HostLock() = default;
};

// What a run call answers: the result JSON text, or the error text that the
// boundary raises as RuntimeError. With a host lock, a payload holding
// "release_gil": true has the command's work and the writing of its answer
// run with that lock released, and the call returns (or throws) with it still
// released; any other payload keeps it throughout. "register-grammar" always
// keeps it, as it imports through `grammar_loader`, and fails without one.
Expected<std::string> execute_command(std::string_view command, std::string_view payload_text,
                                      HostLock* host_lock = nullptr, GrammarLoader* grammar_loader = nullptr);

}  // namespace marblewick
