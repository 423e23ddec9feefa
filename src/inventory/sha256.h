// SHA-256 through libcrypto, incremental, as lower-case hex.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace marblewick {

class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  void update(std::string_view bytes);
  std::string finish_hex();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

}  // namespace marblewick
