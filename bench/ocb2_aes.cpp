#include "ocb2_aes.h"

#include <openssl/evp.h>

#include <cstring>
#include <stdexcept>

namespace qv::bench {

namespace {

constexpr size_t kMaxBlocks = kOcbMaxPlain / kAesBlock + 1;

void Xor(uint8_t* dst, const uint8_t* a, const uint8_t* b) {
  for (size_t i = 0; i < kAesBlock; ++i) dst[i] = a[i] ^ b[i];
}

// Doubling in GF(2^128), the block read as a big-endian number.
void Times2(TAesBlock& b) {
  const uint8_t carry = b[0] >> 7;
  for (size_t i = 0; i + 1 < kAesBlock; ++i) b[i] = static_cast<uint8_t>(b[i] << 1 | b[i + 1] >> 7);
  b[kAesBlock - 1] = static_cast<uint8_t>(b[kAesBlock - 1] << 1 ^ (carry ? 0x87 : 0));
}

void Times3(TAesBlock& b) {
  TAesBlock doubled = b;
  Times2(doubled);
  Xor(b.data(), b.data(), doubled.data());
}

// The last block's pad input: delta xor the bit length in the last 8 bytes.
void LengthBlock(uint8_t* out, const TAesBlock& delta, size_t bytes) {
  std::memset(out, 0, kAesBlock);
  const uint64_t bits = static_cast<uint64_t>(bytes) * 8;
  for (int i = 0; i < 8; ++i) out[kAesBlock - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  Xor(out, out, delta.data());
}

EVP_CIPHER_CTX* NewEcb(const TAesBlock& key, bool encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const int ok = encrypt ? EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr)
                         : EVP_DecryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key.data(), nullptr);
  if (!ctx || ok != 1) {
    EVP_CIPHER_CTX_free(ctx);
    throw std::runtime_error("AES-128 is not available");
  }
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  return ctx;
}

}  // namespace

TOcb2Aes128::TOcb2Aes128(const TAesBlock& key) : encrypt_(NewEcb(key, true)), decrypt_(NewEcb(key, false)) {}

TOcb2Aes128::~TOcb2Aes128() {
  EVP_CIPHER_CTX_free(encrypt_);
  EVP_CIPHER_CTX_free(decrypt_);
}

// ECB over whole blocks: no state is carried from one call to the next.
void TOcb2Aes128::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks) {
  int written = 0;
  EVP_EncryptUpdate(encrypt_, out, &written, in, static_cast<int>(blocks * kAesBlock));
}

void TOcb2Aes128::DecryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks) {
  int written = 0;
  EVP_DecryptUpdate(decrypt_, out, &written, in, static_cast<int>(blocks * kAesBlock));
}

// The full blocks' deltas (delta_0 = AES(nonce), then doubled for each) and
// their AES inputs delta_i xor in_i; the delta after them.
TAesBlock TOcb2Aes128::Whiten(const TAesBlock& nonce, const uint8_t* in, size_t full, uint8_t (*deltas)[kAesBlock],
                              uint8_t (*work)[kAesBlock]) {
  TAesBlock delta;
  EncryptBlocks(nonce.data(), delta.data(), 1);
  for (size_t i = 0; i < full; ++i) {
    Times2(delta);
    std::memcpy(deltas[i], delta.data(), kAesBlock);
    Xor(work[i], delta.data(), in + i * kAesBlock);
  }
  return delta;
}

// The full blocks (all but the last, which may be whole) are
// delta_i xor AES(delta_i xor P_i); their inputs do not depend on each
// other's results, so they go to AES in one call together with the last
// block's pad.
bool TOcb2Aes128::Encrypt(const uint8_t* plain, size_t size, uint8_t* encrypted, const TAesBlock& nonce,
                          TAesBlock& tag) {
  if (size > kOcbMaxPlain) return false;
  const size_t full = size == 0 ? 0 : (size - 1) / kAesBlock;
  const size_t last = size - full * kAesBlock;
  uint8_t deltas[kMaxBlocks][kAesBlock];
  uint8_t work[kMaxBlocks + 1][kAesBlock];
  TAesBlock delta = Whiten(nonce, plain, full, deltas, work), checksum{};
  for (size_t i = 0; i < full; ++i) Xor(checksum.data(), checksum.data(), plain + i * kAesBlock);
  Times2(delta);
  LengthBlock(work[full], delta, last);
  EncryptBlocks(work[0], work[0], full + 1);
  for (size_t i = 0; i < full; ++i) Xor(encrypted + i * kAesBlock, deltas[i], work[i]);
  const uint8_t* pad = work[full];
  uint8_t tail[kAesBlock];
  std::memcpy(tail + last, pad + last, kAesBlock - last);
  if (last > 0) std::memcpy(tail, plain + full * kAesBlock, last);  // plain may be null when empty
  Xor(checksum.data(), checksum.data(), tail);
  for (size_t i = 0; i < last; ++i) encrypted[full * kAesBlock + i] = tail[i] ^ pad[i];
  Times3(delta);
  Xor(work[0], delta.data(), checksum.data());
  EncryptBlocks(work[0], tag.data(), 1);
  return true;
}

bool TOcb2Aes128::Decrypt(const uint8_t* encrypted, size_t size, uint8_t* plain, const TAesBlock& nonce,
                          TAesBlock& tag) {
  if (size > kOcbMaxPlain) return false;
  const size_t full = size == 0 ? 0 : (size - 1) / kAesBlock;
  const size_t last = size - full * kAesBlock;
  uint8_t deltas[kMaxBlocks][kAesBlock];
  uint8_t work[kMaxBlocks][kAesBlock];
  TAesBlock delta = Whiten(nonce, encrypted, full, deltas, work), checksum{};
  if (full > 0) DecryptBlocks(work[0], work[0], full);
  for (size_t i = 0; i < full; ++i) {
    Xor(plain + i * kAesBlock, deltas[i], work[i]);
    Xor(checksum.data(), checksum.data(), plain + i * kAesBlock);
  }
  Times2(delta);
  uint8_t pad[kAesBlock], tail[kAesBlock] = {};
  LengthBlock(pad, delta, last);
  EncryptBlocks(pad, pad, 1);
  if (last > 0) std::memcpy(tail, encrypted + full * kAesBlock, last);
  Xor(tail, tail, pad);
  Xor(checksum.data(), checksum.data(), tail);
  if (last > 0) std::memcpy(plain + full * kAesBlock, tail, last);
  Times3(delta);
  Xor(work[0], delta.data(), checksum.data());
  EncryptBlocks(work[0], tag.data(), 1);
  return true;
}

// --- the crypt state ----------------------------------------------------------------

bool TCryptState::SetKey(const std::string& key, const std::string& clientNonce, const std::string& serverNonce,
                         int64_t nowNs) {
  if (key.size() != kAesBlock || clientNonce.size() != kAesBlock || serverNonce.size() != kAesBlock) return false;
  TAesBlock raw;
  std::memcpy(raw.data(), key.data(), kAesBlock);
  sending_ = std::make_unique<TOcb2Aes128>(raw);
  receiving_ = std::make_unique<TOcb2Aes128>(raw);
  std::memcpy(encryptIv_.data(), clientNonce.data(), kAesBlock);
  std::memcpy(decryptIv_.data(), serverNonce.data(), kAesBlock);
  history_.fill(0);
  lastGoodNs_ = nowNs;
  lastRequestNs_ = nowNs - kResyncAfterNs;
  valid_ = true;
  return true;
}

bool TCryptState::Encrypt(const uint8_t* plain, size_t size, uint8_t* out) {
  if (!valid_) return false;
  for (size_t i = 0; i < kAesBlock; ++i) {
    if (++encryptIv_[i]) break;
  }
  TAesBlock tag;
  if (!sending_->Encrypt(plain, size, out + kCryptHeader, encryptIv_, tag)) return false;
  out[0] = encryptIv_[0];
  std::memcpy(out + 1, tag.data(), 3);
  return true;
}

// The nonce is rebuilt from its low byte: the next one in order, a late one
// up to 30 behind (taken, the state left where it was), or one after a gap
// (the gap counts as lost). Byte 1 of the nonce last taken for each low
// byte tells a repeat.
bool TCryptState::Decrypt(const uint8_t* in, size_t size, uint8_t* out, int64_t nowNs) {
  if (!valid_ || size < kCryptHeader) return false;
  const TAesBlock saved = decryptIv_;
  const uint8_t ivByte = in[0];
  bool restore = false;
  int lost = 0, late = 0;
  auto carryUp = [&] {
    for (size_t i = 1; i < kAesBlock; ++i) {
      if (++decryptIv_[i]) break;
    }
  };
  if (static_cast<uint8_t>(decryptIv_[0] + 1) == ivByte) {
    if (ivByte > decryptIv_[0]) {
      decryptIv_[0] = ivByte;
    } else if (ivByte < decryptIv_[0]) {
      decryptIv_[0] = ivByte;
      carryUp();
    } else {
      return false;
    }
  } else {
    int diff = ivByte - decryptIv_[0];
    if (diff > 128) diff -= 256;
    else if (diff < -128) diff += 256;
    if (ivByte < decryptIv_[0] && diff > -30 && diff < 0) {
      late = 1;
      lost = -1;
      decryptIv_[0] = ivByte;
      restore = true;
    } else if (ivByte > decryptIv_[0] && diff > -30 && diff < 0) {
      // Late from before the last wrap of the low byte.
      late = 1;
      lost = -1;
      decryptIv_[0] = ivByte;
      for (size_t i = 1; i < kAesBlock; ++i) {
        if (decryptIv_[i]--) break;
      }
      restore = true;
    } else if (ivByte > decryptIv_[0] && diff > 0) {
      lost = ivByte - decryptIv_[0] - 1;
      decryptIv_[0] = ivByte;
    } else if (ivByte < decryptIv_[0] && diff > 0) {
      lost = 256 - decryptIv_[0] + ivByte - 1;
      decryptIv_[0] = ivByte;
      carryUp();
    } else {
      return false;
    }
    if (history_[decryptIv_[0]] == decryptIv_[1]) {
      decryptIv_ = saved;
      return false;
    }
  }
  TAesBlock tag;
  if (!receiving_->Decrypt(in + kCryptHeader, size - kCryptHeader, out, decryptIv_, tag) ||
      std::memcmp(tag.data(), in + 1, 3) != 0) {
    decryptIv_ = saved;
    return false;
  }
  history_[decryptIv_[0]] = decryptIv_[1];
  if (restore) decryptIv_ = saved;
  ++good_;
  late_ += static_cast<uint32_t>(late);
  lost_ += lost;
  lastGoodNs_ = nowNs;
  return true;
}

bool TCryptState::WantsResync(int64_t nowNs) {
  if (nowNs - lastGoodNs_ <= kResyncAfterNs || nowNs - lastRequestNs_ <= kResyncAfterNs) return false;
  lastRequestNs_ = nowNs;
  return true;
}

bool TCryptState::SetDecryptIv(const std::string& serverNonce) {
  if (serverNonce.size() != kAesBlock) return false;
  std::memcpy(decryptIv_.data(), serverNonce.data(), kAesBlock);
  ++resyncs_;
  return true;
}

}  // namespace qv::bench
