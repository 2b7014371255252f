// The voice cipher of the benchmark's murmur clients: OCB2-AES128 against
// the published test vectors (key and nonce 000102..0F), and the crypt
// state's rules for datagrams in order, late, lost, repeated and forged,
// and for asking for a resync.
#include "ocb2_aes.h"

#include <gtest/gtest.h>

#include <vector>

namespace qv::bench {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

TAesBlock Counting() {
  TAesBlock b;
  for (size_t i = 0; i < kAesBlock; ++i) b[i] = static_cast<uint8_t>(i);
  return b;
}

TEST(Ocb2Aes128, MatchesThePublishedVectorsAndTheWireHeader) {
  const struct {
    size_t Size;  // plaintext 00 01 02 ...
    std::string Cipher, Tag;
  } cases[] = {
      {0, "", "BF3108130773AD5EC70EC69E7875A7B0"},
      {40, "F75D6BC8B4DC8D66B836A2B08B32A6369F1CD3C5228D79FD6C267F5F6AA7B231C7DFB9D59951AE9C",
       "9DB0CDF880F73E3E10D4EB3217766688"},
  };
  TOcb2Aes128 cipher(Counting());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Size);
    Bytes plain(c.Size), encrypted(c.Size), back(c.Size);
    for (size_t i = 0; i < c.Size; ++i) plain[i] = static_cast<uint8_t>(i);
    TAesBlock tag, checked;
    ASSERT_TRUE(cipher.Encrypt(plain.data(), c.Size, encrypted.data(), Counting(), tag));
    EXPECT_EQ(encrypted, Hex(c.Cipher));
    EXPECT_EQ(Bytes(tag.begin(), tag.end()), Hex(c.Tag));
    ASSERT_TRUE(cipher.Decrypt(encrypted.data(), c.Size, back.data(), Counting(), checked));
    EXPECT_EQ(back, plain);
    EXPECT_EQ(checked, tag);
  }
  // The crypt state counts its nonce up before each datagram (FF 00 02 .. 0F
  // becomes the vectors' nonce, the carry going into byte 1) and sends the
  // nonce's low byte and three bytes of the tag ahead of the ciphertext.
  std::string key(16, 0), nonce(16, 0);
  for (size_t i = 0; i < 16; ++i) key[i] = nonce[i] = static_cast<char>(i);
  nonce[0] = static_cast<char>(0xFF);
  nonce[1] = 0;
  TCryptState state;
  ASSERT_TRUE(state.SetKey(key, nonce, nonce, 0));
  Bytes plain(40), datagram(44);
  for (size_t i = 0; i < 40; ++i) plain[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(state.Encrypt(plain.data(), plain.size(), datagram.data()));
  EXPECT_EQ(datagram, Hex("009DB0CD" + std::string(cases[1].Cipher)));
}

enum TTamper { tNone, tCipher, tTag, tNonceByte };

struct TDelivery {
  int Index;  // which of the sender's datagrams arrives
  TTamper Tamper = tNone;
};

TEST(CryptState, TakesDatagramsInOrderLateOrAfterAGapAndRefusesRepeatsAndForgeries) {
  const struct {
    const char* Name;
    std::vector<TDelivery> Deliveries;
    std::vector<bool> Taken;
    uint32_t Late, Lost;
  } cases[] = {
      {"in order", {{0}, {1}, {2}}, {true, true, true}, 0, 0},
      {"repeated", {{0}, {1}, {1}, {0}}, {true, true, false, false}, 0, 0},
      {"late", {{0}, {2}, {1}}, {true, true, true}, 1, 0},
      {"late, then repeated", {{0}, {2}, {1}, {1}}, {true, true, true, false}, 1, 0},
      {"after a gap", {{0}, {10}, {11}}, {true, true, true}, 0, 9},
      {"more than 30 behind", {{0}, {40}, {5}}, {true, true, false}, 0, 39},
      {"ciphertext changed", {{0, tCipher}, {0}, {1}}, {false, true, true}, 0, 0},
      {"tag changed", {{0, tTag}, {0}}, {false, true}, 0, 0},
      {"nonce byte changed", {{1, tNonceByte}, {1}}, {false, true}, 0, 1},
  };
  const std::string key(16, '\x42'), clientNonce(16, '\x01'), serverNonce(16, '\x77');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    // The server side encrypts with the server nonce, the client decrypts with it.
    TCryptState server, client;
    ASSERT_TRUE(server.SetKey(key, serverNonce, clientNonce, 0));
    ASSERT_TRUE(client.SetKey(key, clientNonce, serverNonce, 0));
    std::vector<Bytes> sent;
    for (int i = 0; i < 50; ++i) {
      const Bytes plain(20 + static_cast<size_t>(i), static_cast<uint8_t>(i));
      Bytes datagram(plain.size() + kCryptHeader);
      ASSERT_TRUE(server.Encrypt(plain.data(), plain.size(), datagram.data()));
      sent.push_back(datagram);
    }
    ASSERT_EQ(c.Deliveries.size(), c.Taken.size());
    for (size_t k = 0; k < c.Deliveries.size(); ++k) {
      Bytes datagram = sent[static_cast<size_t>(c.Deliveries[k].Index)];
      if (c.Deliveries[k].Tamper == tCipher) datagram.back() ^= 1;
      if (c.Deliveries[k].Tamper == tTag) datagram[2] ^= 1;
      if (c.Deliveries[k].Tamper == tNonceByte) datagram[0] ^= 2;
      Bytes plain(datagram.size() - kCryptHeader);
      EXPECT_EQ(client.Decrypt(datagram.data(), datagram.size(), plain.data(), 0), c.Taken[k]) << "delivery " << k;
      if (c.Taken[k]) {
        EXPECT_EQ(plain, Bytes(plain.size(), static_cast<uint8_t>(c.Deliveries[k].Index)));
      }
    }
    EXPECT_EQ(client.Late(), c.Late);
    EXPECT_EQ(client.Lost(), c.Lost);
  }
  // Past the low byte's wrap the nonce carries on: 600 in order all decrypt.
  TCryptState server, client;
  ASSERT_TRUE(server.SetKey(key, serverNonce, clientNonce, 0));
  ASSERT_TRUE(client.SetKey(key, clientNonce, serverNonce, 0));
  for (int i = 0; i < 600; ++i) {
    const Bytes plain(33, 0x55);
    Bytes datagram(plain.size() + kCryptHeader), back(plain.size());
    ASSERT_TRUE(server.Encrypt(plain.data(), plain.size(), datagram.data()));
    ASSERT_TRUE(client.Decrypt(datagram.data(), datagram.size(), back.data(), 0)) << i;
  }
  EXPECT_EQ(client.Good(), 600u);
}

TEST(CryptState, AsksForAResyncAfterFiveSecondsWithoutAGoodDatagramAndTakesTheNewNonce) {
  constexpr int64_t kS = 1'000'000'000;
  const std::string key(16, '\x42'), clientNonce(16, '\x01'), serverNonce(16, '\x77');
  TCryptState server, client;
  ASSERT_TRUE(server.SetKey(key, serverNonce, clientNonce, 0));
  ASSERT_TRUE(client.SetKey(key, clientNonce, serverNonce, 0));
  // The client misses 200 datagrams: the low byte no longer tells where the
  // server's nonce is, and every later datagram fails.
  Bytes plain(33, 0x55), datagram(plain.size() + kCryptHeader), back(plain.size());
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(server.Encrypt(plain.data(), plain.size(), datagram.data()));
  const struct {
    int64_t Now;
    bool Wanted;
  } failures[] = {{4 * kS, false}, {6 * kS, true}, {8 * kS, false}, {11 * kS + 1, true}};
  for (const auto& f : failures) {
    SCOPED_TRACE(f.Now);
    ASSERT_TRUE(server.Encrypt(plain.data(), plain.size(), datagram.data()));
    EXPECT_FALSE(client.Decrypt(datagram.data(), datagram.size(), back.data(), f.Now));
    EXPECT_EQ(client.WantsResync(f.Now), f.Wanted);
  }
  // The server's answer is its current nonce; the next datagram decrypts.
  const TAesBlock iv = server.EncryptIv();
  ASSERT_TRUE(client.SetDecryptIv(std::string(iv.begin(), iv.end())));
  ASSERT_TRUE(server.Encrypt(plain.data(), plain.size(), datagram.data()));
  EXPECT_TRUE(client.Decrypt(datagram.data(), datagram.size(), back.data(), 12 * kS));
  EXPECT_EQ(back, plain);
  EXPECT_EQ(client.Resyncs(), 1u);
  EXPECT_FALSE(client.WantsResync(13 * kS));
  // Keys and nonces of the wrong size are refused.
  EXPECT_FALSE(TCryptState().SetKey(std::string(15, 'k'), clientNonce, serverNonce, 0));
  EXPECT_FALSE(client.SetDecryptIv("short"));
}

}  // namespace
}  // namespace qv::bench
