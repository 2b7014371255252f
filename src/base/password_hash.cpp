#include "base/password_hash.h"

#include <sodium.h>

#include <array>

namespace qv {

namespace {

// sodium_init is idempotent and thread-safe; every entry point calls it.
void InitSodium() {
  if (sodium_init() < 0) throw EPasswordHash("libsodium cannot start");
}

const std::array<unsigned char, crypto_generichash_KEYBYTES>& StampKey() {
  static const auto key = [] {
    InitSodium();
    std::array<unsigned char, crypto_generichash_KEYBYTES> k{};
    randombytes_buf(k.data(), k.size());
    return k;
  }();
  return key;
}

}  // namespace

std::string HashPassword(std::string_view password) {
  InitSodium();
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), kPasswordOpsLimit, kPasswordMemLimit) != 0)
    throw EPasswordHash("out of memory while hashing a password");
  return out;
}

bool VerifyPassword(std::string_view stored, std::string_view password) {
  if (!IsPasswordHash(stored)) return false;
  InitSodium();
  const std::string text(stored);  // the check wants a terminated string
  return crypto_pwhash_str_verify(text.c_str(), password.data(), password.size()) == 0;
}

// A prefix is not enough: a clear-text password of an older database may
// begin with "$argon2id$" too, and taken for a hash it could never log in
// again. Only a string libsodium can decode counts.
bool IsPasswordHash(std::string_view stored) {
  InitSodium();
  const std::string text(stored);
  if (text.rfind("$argon2id$", 0) == 0)
    return crypto_pwhash_argon2id_str_needs_rehash(text.c_str(), kPasswordOpsLimit, kPasswordMemLimit) != -1;
  if (text.rfind("$argon2i$", 0) == 0)
    return crypto_pwhash_argon2i_str_needs_rehash(text.c_str(), kPasswordOpsLimit, kPasswordMemLimit) != -1;
  return false;
}

std::string CredentialStamp(std::string_view stored) {
  const auto& key = StampKey();
  std::array<unsigned char, 32> digest{};
  crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(stored.data()),
                     stored.size(), key.data(), key.size());
  std::string hex(digest.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  hex.pop_back();
  return hex;
}

bool SameSecret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && (a.empty() || sodium_memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace qv
