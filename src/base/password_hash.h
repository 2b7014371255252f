// Stored account passwords: salted, deliberately slow Argon2id hashes in
// libsodium's self-describing text form ("$argon2id$v=19$m=16384,t=1,p=1$
// <salt>$<hash>"), and the keyed stamp a web session keeps instead of the
// password to re-check its login without hashing again.
//
// Cost: one hash or check uses 16 MiB and one pass (kPasswordMemLimit,
// kPasswordOpsLimit). Measured on the 2-core development machine under
// load from other jobs: 28 ms to hash, 33 ms to check (8 MiB/1 pass: 16 ms;
// 16 MiB/2 passes: 48 ms; 32 MiB/1 pass: 49 ms). Checks made with other
// parameters (an older or tuned hash) verify with their own.
//
// Thread rules: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/exception.h"

namespace qv {

QV_EXCEPTION_CLASS(EPasswordHash, Exception);

constexpr unsigned long long kPasswordOpsLimit = 1;
constexpr size_t kPasswordMemLimit = size_t{16} << 20;

// The stored form of password (a fresh salt each time). Raises
// EPasswordHash when the hash cannot be made (out of memory).
std::string HashPassword(std::string_view password);
// Whether password matches stored, a text made by HashPassword. False for
// any other text, a clear-text password included.
bool VerifyPassword(std::string_view stored, std::string_view password);
// Whether stored looks like the text HashPassword makes (an Argon2 hash
// string) rather than a clear-text password of an older database.
bool IsPasswordHash(std::string_view stored);
// A keyed digest of stored (hex) under a key drawn at process start: equal
// stamps mean the same stored hash, and a stamp reveals nothing about it
// outside this process.
std::string CredentialStamp(std::string_view stored);
// Compares two texts in time that depends on their length only.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace qv
