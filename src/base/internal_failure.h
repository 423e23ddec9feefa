// Internal failures: broken invariants behind the module boundary. They unwind
// to the boundary, which turns them into PanicException; they are never a
// command's answer (a command reports its failures as error texts).
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace marblewick {

class InternalFailure : public std::exception {
 public:
  InternalFailure(std::string message, std::source_location where)
      : message_(std::move(message)), where_(where) {}

  const char* what() const noexcept override { return message_.c_str(); }

  // "file:line" of the check that failed, for the report on standard error.
  virtual std::string location_text() const {
    return std::string(where_.file_name()) + ":" + std::to_string(where_.line());
  }

 private:
  std::string message_;
  std::source_location where_;
};

[[noreturn]] inline void fail_internal(std::string message,
                                       std::source_location where = std::source_location::current()) {
  throw InternalFailure(std::move(message), where);
}

// A condition that must hold whatever the input; a false one is a bug of ours.
inline void check_invariant(bool holds, const char* what,
                            std::source_location where = std::source_location::current()) {
  if (!holds) fail_internal(what, where);
}

}  // namespace marblewick
