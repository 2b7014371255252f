// The voice cipher of murmur's protocol: OCB2 over AES-128 (Rogaway's OCB
// 2.0 with a full 16-byte nonce and no associated data), and the crypt state
// that carries it over UDP.
//
// A datagram on the wire is 4 header bytes and the ciphertext, which is as
// long as the plaintext: the low byte of the nonce, then the first three
// bytes of the 16-byte tag. Each side counts its own nonce up by one per
// datagram (a little-endian 128-bit counter, byte 0 first); the receiver
// rebuilds the full nonce from the low byte, takes late datagrams (up to 30
// behind) and lost ones, and refuses repeats and forgeries. The key and both
// nonces come from the server's CryptSetup: the client encrypts with
// client_nonce and decrypts with server_nonce. When decryption keeps failing
// (nothing good for 5 s), the client asks for a resync with an empty
// CryptSetup, at most once in 5 s, and takes the server_nonce of the answer;
// when the server asks, the client answers with its own nonce.
//
// Thread rules: a TOcb2Aes128 belongs to one thread at a time. In a
// TCryptState the sending side (Encrypt, EncryptIv) and the receiving side
// (Decrypt, SetDecryptIv, WantsResync, the counters) may each run on a thread
// of their own; SetKey runs before either.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace qv::bench {

inline constexpr size_t kAesBlock = 16;
using TAesBlock = std::array<uint8_t, kAesBlock>;
// The longest plaintext the cipher takes: a voice datagram is at most 1024 bytes.
inline constexpr size_t kOcbMaxPlain = 1024;
inline constexpr size_t kCryptHeader = 4;

class TOcb2Aes128 {
 public:
  explicit TOcb2Aes128(const TAesBlock& key);
  ~TOcb2Aes128();
  TOcb2Aes128(const TOcb2Aes128&) = delete;
  TOcb2Aes128& operator=(const TOcb2Aes128&) = delete;

  // encrypted gets size bytes; false when size exceeds kOcbMaxPlain.
  bool Encrypt(const uint8_t* plain, size_t size, uint8_t* encrypted, const TAesBlock& nonce, TAesBlock& tag);
  // plain gets size bytes and tag the tag they should carry (the caller compares).
  bool Decrypt(const uint8_t* encrypted, size_t size, uint8_t* plain, const TAesBlock& nonce, TAesBlock& tag);

 private:
  TAesBlock Whiten(const TAesBlock& nonce, const uint8_t* in, size_t full, uint8_t (*deltas)[kAesBlock],
                   uint8_t (*work)[kAesBlock]);
  void EncryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks);
  void DecryptBlocks(const uint8_t* in, uint8_t* out, size_t blocks);
  EVP_CIPHER_CTX* encrypt_ = nullptr;
  EVP_CIPHER_CTX* decrypt_ = nullptr;
};

class TCryptState {
 public:
  static constexpr int64_t kResyncAfterNs = 5'000'000'000;

  // Sizes of 16 bytes each; false otherwise. The receiving side counts its
  // last good datagram from nowNs.
  bool SetKey(const std::string& key, const std::string& clientNonce, const std::string& serverNonce, int64_t nowNs);
  bool Valid() const { return valid_; }

  // out gets size + kCryptHeader bytes.
  bool Encrypt(const uint8_t* plain, size_t size, uint8_t* out);
  // out gets size - kCryptHeader bytes; false for a short, repeated,
  // too late or forged datagram (the state is then as before).
  bool Decrypt(const uint8_t* in, size_t size, uint8_t* out, int64_t nowNs);
  // After a failed Decrypt: true when a resync should be asked for now (and
  // the next may not be asked for within kResyncAfterNs).
  bool WantsResync(int64_t nowNs);
  // The server's answer to a resync request.
  bool SetDecryptIv(const std::string& serverNonce);
  TAesBlock EncryptIv() const { return encryptIv_; }

  uint32_t Good() const { return good_; }
  uint32_t Late() const { return late_; }
  uint32_t Lost() const { return lost_ > 0 ? static_cast<uint32_t>(lost_) : 0; }
  uint32_t Resyncs() const { return resyncs_; }

 private:
  bool valid_ = false;
  // Sending side.
  std::unique_ptr<TOcb2Aes128> sending_;
  TAesBlock encryptIv_{};
  // Receiving side.
  std::unique_ptr<TOcb2Aes128> receiving_;
  TAesBlock decryptIv_{};
  std::array<uint8_t, 256> history_{};  // byte 1 of the nonce last taken with each byte 0
  uint32_t good_ = 0, late_ = 0, resyncs_ = 0;
  int64_t lost_ = 0;  // a late datagram takes one back
  int64_t lastGoodNs_ = 0, lastRequestNs_ = 0;
};

}  // namespace qv::bench
