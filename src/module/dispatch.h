// execute_command: payload parsing, the command table and result writing.
#pragma once

#include <string>
#include <string_view>

#include "base/expected.h"

namespace marblewick {

// What the boundary lends a call so that the call's native work can let other
// host threads run. The core never touches a host object, so the only rule is
// the order: released once the payload is read, taken again before the answer
// goes back (also when the work fails or throws).
//
// While the host shuts down, reacquire() may never return: the host ends the
// calling thread there by unwinding its stack. It is therefore called from no
// destructor and no noexcept function, with no failure of the call in flight,
// and every frame above it lets that unwinding pass.
class HostLock {
 public:
  virtual void release() noexcept = 0;
  virtual void reacquire() = 0;

 protected:
  ~HostLock() = default;
};

// What a run call answers: the result JSON text, or the error text that the
// boundary raises as RuntimeError. With a host lock, a payload holding
// "release_gil": true has the command's work and the writing of its answer
// run with that lock released; any other payload keeps it throughout.
Expected<std::string> execute_command(std::string_view command, std::string_view payload_text,
                                      HostLock* host_lock = nullptr);

}  // namespace marblewick
