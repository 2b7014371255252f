// The login handlers in bytes, on a listener without thread: the reply of
// an accepted and of a refused request, short requests, and the lists and
// end of login that CMD_cs_LoginStep3 sends.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "protocol/command_types.h"
#include "support/log_capture.h"
#include "support/listener_harness.h"
#include "voice/udp_listener.h"

namespace qv {
namespace {

// A hand-made CMD_cs_LoginStep1 request of `size` bytes.
TPacketPtr LoginRequest(const std::string& nick, size_t size = 180, uint16_t release = 32, uint16_t build = 60) {
  auto p = std::make_unique<TPacket>();
  p->SetSize(size);
  p->SetU16(0, 0xBEF4);
  p->SetU16(2, 3);
  if (size >= 88) {
    p->SetU16(80, 2);
    p->SetU16(84, release);
    p->SetU16(86, build);
  }
  if (size >= 180) {
    p->SetU8(150, static_cast<uint8_t>(nick.size()));
    std::memcpy(p->Data() + 151, nick.data(), nick.size());
  }
  p->SetPeer("127.0.0.1", 40001);
  return p;
}

class LoginStepsTest : public ::testing::Test, protected test::TListenerHarness {
 protected:
  LoginStepsTest() : TListenerHarness(6), log(dir) {
    EditSettings([](TServerSettings& s) {
      s.Name = "Srv";
      s.Platform = "Lx";
      s.Version = {2, 0, 19, 40};
      s.MaxUsers = 5;
      s.ServerFlags = sfClan;
      s.WelcomeMessage = "Hello there";
      s.AllowCodec = {};
      s.AllowCodec[codecGSM148] = true;
      s.AllowCodec[codecSpeex2150] = true;
    });
    server.AccessLog = true;
    auto lobby = NewChannel();
    lobby->Id = 1;
    lobby->Name = "Lobby";
    lobby->Topic = "t";
    lobby->Flags = cfDefault | cfUnregistered;
    lobby->MaxUsers = 5;
    EXPECT_EQ(server.Channels->AddChannelID(std::move(lobby)), 1);
  }

  std::vector<TPacketPtr> Outgoing() {
    std::vector<TPacketPtr> out;
    int64_t wait = 0;
    while (buffer.TryTakeOutgoing(out, 64, wait) > 0) {
    }
    return out;
  }

  test::TempDir dir;
  test::LogCapture log;
};

TEST_F(LoginStepsTest, AcceptedReplyInBytes) {
  listener->ProcessEvent(0, evPacket, LoginRequest("ann"));
  auto out = Outgoing();
  ASSERT_EQ(out.size(), 1u);
  const TPacket& r = *out[0];
  ASSERT_EQ(r.Size(), 436u);
  const uint8_t* b = r.Data();
  EXPECT_EQ(r.GetU16(0), 0xBEF4);
  EXPECT_EQ(r.GetU16(2), 4);
  EXPECT_EQ(r.GetU32(4), 0u);  // no connection id in the header
  EXPECT_EQ(r.GetU32(8), 1u);  // the new player id
  EXPECT_EQ(b[20], 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b) + 21, 3), "Srv");
  EXPECT_EQ(b[50], 2);
  EXPECT_EQ(r.GetU16(84), 19);
  EXPECT_EQ(r.GetU16(86), 40);
  EXPECT_EQ(r.GetU32(88), 1u);
  EXPECT_EQ(r.GetU32(92), (1u << 2) | (1u << 5));
  EXPECT_EQ(r.GetU32(96), 0u);
  EXPECT_EQ(r.GetU16(100), sfClan);
  EXPECT_EQ(r.GetU32(168), 5u);
  const TClientRec* ann = server.Clients->GetClientByID(1);
  ASSERT_NE(ann, nullptr);
  EXPECT_EQ(r.GetU32(172), ann->ConnectionId);
  EXPECT_EQ(r.GetU32(176), 1u);
  EXPECT_EQ(b[180], 11);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b) + 181, 11), "Hello there");
  EXPECT_EQ(ann->ChannelId, -1);
  EXPECT_FALSE(ann->LoginComplete);
  EXPECT_EQ(log.MessagesStartingWith("SID: 6 client connected [IP: 127.0.0.1, Nick: ann, LoginName: , "
                                     "Version: 2.0.32.60]")
                .size(),
            1u);
}

TEST_F(LoginStepsTest, ShortRequests) {
  // Read up to the version only: the nick counts as empty.
  listener->ProcessEvent(0, evPacket, LoginRequest("ann", 100));
  auto out = Outgoing();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(static_cast<int32_t>(out[0]->GetU32(88)), -1);
  EXPECT_EQ(server.Clients->Count(), 0);
  // Too short to read: no reply, one exception line.
  listener->ProcessEvent(0, evPacket, LoginRequest("ann", 87));
  EXPECT_TRUE(Outgoing().empty());
  EXPECT_EQ(log.MessagesStartingWith("SID: 6 CMD_cs_LoginStep1 Exception: EStreamError.").size(), 1u);
}

TEST_F(LoginStepsTest, RefusalCarriesOnlyResultAndIds) {
  listener->ProcessEvent(0, evPacket, LoginRequest("old", 180, 27, 39));
  auto out = Outgoing();
  ASSERT_EQ(out.size(), 1u);
  const TPacket& r = *out[0];
  ASSERT_EQ(r.Size(), 436u);
  EXPECT_EQ(static_cast<int32_t>(r.GetU32(88)), -5);
  const uint32_t connectionId = r.GetU32(172);
  EXPECT_NE(connectionId, 0u);
  EXPECT_EQ(r.GetU32(176), r.GetU32(8));
  for (size_t i = 20; i < 436; ++i) {
    if (i >= 88 && i < 92) continue;
    if (i >= 172 && i < 180) continue;
    ASSERT_EQ(r.Data()[i], 0) << "byte " << i;
  }
  EXPECT_EQ(server.Clients->Count(), 0);
  // Its connection closes once the reply is out.
  EXPECT_EQ(buffer.ConnectionState(r.GetU32(8)), stClosed);
}

// Ten wrong server passwords from one address lock it out (one log line);
// then even the right password is refused there, and only there.
TEST_F(LoginStepsTest, PasswordGuessesLockTheAddressOut) {
  EditSettings([](TServerSettings& s) { s.Password = "right"; });
  auto attempt = [&](const std::string& password, const char* ip) {
    TPacketPtr request = LoginRequest("ann" + password);
    request->SetU8(120, static_cast<uint8_t>(password.size()));
    std::memcpy(request->Data() + 121, password.data(), password.size());
    request->SetPeer(ip, 40001);
    listener->ProcessEvent(0, evPacket, std::move(request));
    auto out = Outgoing();
    return out.empty() ? 0 : static_cast<int32_t>(out[0]->GetU32(88));
  };
  for (int i = 0; i < 10; ++i) EXPECT_EQ(attempt("guess" + std::to_string(i), "127.0.0.1"), -1) << i;
  EXPECT_EQ(attempt("right", "127.0.0.1"), -1);
  EXPECT_EQ(attempt("right", "127.0.0.2"), 1);
  EXPECT_EQ(log.MessagesStartingWith("login lock-out [interface: voice, IP: 127.0.0.1, failures: 10, minutes: 10]").size(),
            1u);
}

// Refused requests from many forged addresses and ports, each line with its
// own address and names: a few lines of each kind a second, then one summary
// of the kind.
TEST_F(LoginStepsTest, RequestFloodFromManyAddressesKeepsTheLogSmall) {
  EditSettings([](TServerSettings& s) { s.Password = "right"; });
  std::atomic<int64_t> nowMs = 7000;  // the log's timer reads it too
  GetLog()->SetRepeatClock([&nowMs] { return nowMs.load(); });
  for (int i = 0; i < 2000; ++i) {
    TPacketPtr request = LoginRequest("n" + std::to_string(i));  // no password
    request->SetPeer("10.0." + std::to_string(i / 10 / 250) + "." + std::to_string(i / 10 % 250),
                     static_cast<uint16_t>(1024 + i));
    listener->ProcessEvent(0, evPacket, std::move(request));
    Outgoing();
  }
  nowMs += 1000;
  GetLog()->WriteDueRepeats();
  GetLog()->SetRepeatClock({});
  const auto refusals = log.MessagesStartingWith("SID: 6 client disconnected, reason Bad Login [IP: ");
  const auto audits = log.MessagesStartingWith("login refused [interface: voice, reason: wrong password, IP: 10.0.");
  const auto locks = log.MessagesStartingWith("login lock-out [interface: voice, IP: 10.0.");
  EXPECT_EQ(refusals.size(), size_t{TLogObject::kShapeLinesWritten});
  EXPECT_EQ(audits.size(), size_t{TLogObject::kShapeLinesWritten});
  EXPECT_EQ(locks.size(), size_t{TLogObject::kShapeLinesWritten});
  const std::vector<std::string> summaries = {
      "SID: 6 client disconnected, reason * [IP: *, Nick: *, LoginName: *, Version: *] ... repeated 1990 times",
      "login refused [interface: *, reason: *, IP: *, LoginName: *] ... repeated 1990 times",
      "login lock-out [interface: *, IP: *, failures: *, minutes: *] ... repeated 190 times"};
  EXPECT_EQ(log.MessagesStartingWith("SID: 6 client disconnected, reason *"), (std::vector<std::string>{summaries[0]}));
  EXPECT_EQ(log.MessagesStartingWith("login refused [interface: *"), (std::vector<std::string>{summaries[1]}));
  EXPECT_EQ(log.MessagesStartingWith("login lock-out [interface: *"), (std::vector<std::string>{summaries[2]}));
  EXPECT_EQ(log.Messages().size(), 3u * TLogObject::kShapeLinesWritten + 3);
}

TEST_F(LoginStepsTest, Step3SendsListsAndEndOfLogin) {
  listener->ProcessEvent(0, evPacket, LoginRequest("ann"));
  Outgoing();
  TClientRec* ann = server.Clients->GetClientByID(1);
  ASSERT_NE(ann, nullptr);
  // Her first packet with the connection id proves her address; until then
  // only the verdict may go to it.
  auto hello = NewControlPacket(ctPing, ann->ConnectionId, 1);
  hello->SetChecksum();
  hello->SetPeer("127.0.0.1", 40001);
  buffer.ReceivePacket(std::move(hello));
  auto step3 = NewCommandPacket(CMD_cs_LoginStep3, ann->ConnectionId, 1);
  step3->SetSequence(1);
  step3->SetSize(120);
  step3->SetU32(116, 64);
  // Truncated first: logged, nothing sent, the player stays.
  auto shortStep3 = step3->Clone();
  shortStep3->SetSize(119);
  listener->ProcessEvent(1, evPacket, std::move(shortStep3));
  EXPECT_TRUE(Outgoing().empty());
  EXPECT_EQ(log.MessagesStartingWith("SID: 6 CMD_cs_LoginStep3 Exception: EStreamError.").size(), 1u);

  listener->ProcessEvent(1, evPacket, std::move(step3));
  auto out = Outgoing();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0]->CommandType(), CMD_sc_LoginStep4);
  EXPECT_EQ(out[0]->GetU32(24), 1u);
  EXPECT_EQ(out[0]->GetU32(28), 1u);       // channel id
  EXPECT_EQ(out[0]->GetU16(32), cfDefault | cfUnregistered);
  EXPECT_EQ(out[0]->GetU32(36), 0xFFFFFFFFu);  // no parent
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out[0]->Data()) + 44), "Lobby");
  EXPECT_EQ(out[0]->Size(), 44u + 6 + 2 + 1);  // "Lobby", "t", ""
  EXPECT_EQ(out[1]->CommandType(), CMD_sc_LoginStep5);
  ASSERT_EQ(out[1]->Size(), 468u);
  EXPECT_EQ(out[1]->GetU32(24), 1u);
  EXPECT_EQ(out[1]->GetU32(28), 1u);
  EXPECT_EQ(out[1]->GetU32(32), 1u);  // in the lobby
  EXPECT_EQ(out[1]->Data()[42], 3);
  EXPECT_EQ(out[2]->CommandType(), CMD_sc_LoginStep6);
  EXPECT_EQ(out[2]->Size(), 280u);
  EXPECT_TRUE(ann->LoginComplete);
  EXPECT_EQ(ann->UploadBandwidth, 64);
  EXPECT_EQ(server.LoginsSinceNotify.load(), 1u);

  // A second CMD_cs_LoginStep3 changes nothing.
  auto again = NewCommandPacket(CMD_cs_LoginStep3, ann->ConnectionId, 1);
  again->SetSize(120);
  listener->ProcessEvent(1, evPacket, std::move(again));
  EXPECT_TRUE(Outgoing().empty());
  EXPECT_EQ(server.Channels->GetChannelById(1)->Members.size(), 1u);
}

}  // namespace
}  // namespace qv
