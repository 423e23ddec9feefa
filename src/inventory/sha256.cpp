// SHA-256 through libcrypto's EVP interface.
#include "inventory/sha256.h"

#include <openssl/evp.h>

#include "base/hex_digits.h"
#include "base/internal_failure.h"

namespace marblewick {
namespace {

const EVP_MD* sha256_method() {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  // Fetched once: from OpenSSL 3 on, the built-in method would be fetched
  // implicitly on every digest, which costs a lookup and a lock.
  static const EVP_MD* method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
#else
  static const EVP_MD* method = EVP_sha256();
#endif
  check_invariant(method != nullptr, "SHA-256 is not available from libcrypto");
  return method;
}

std::string hex_of(const unsigned char* bytes, unsigned length) {
  std::string hex;
  hex.reserve(static_cast<std::size_t>(length) * 2);
  for (unsigned i = 0; i < length; ++i) append_hex_byte(hex, bytes[i]);
  return hex;
}

}  // namespace

struct Sha256Stream::Context {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256Stream::Sha256Stream() : context_(std::make_unique<Context>()) {
  check_invariant(context_->ctx != nullptr, "could not create a SHA-256 context");
  check_invariant(EVP_DigestInit_ex(context_->ctx, sha256_method(), nullptr) == 1,
                  "SHA-256 initialisation failed");
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::update(std::string_view bytes) {
  check_invariant(EVP_DigestUpdate(context_->ctx, bytes.data(), bytes.size()) == 1, "SHA-256 update failed");
}

std::string Sha256Stream::finish_hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned length = 0;
  check_invariant(EVP_DigestFinal_ex(context_->ctx, digest, &length) == 1 && length == 32,
                  "SHA-256 finalisation failed");
  return hex_of(digest, length);
}

}  // namespace marblewick
