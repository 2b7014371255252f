// Writes the binary seed corpora with the project's own encoders: datagrams
// of every class, commands cut into fragments, every client command with its
// fixed part, and login requests as the client tool builds them.
//   fuzz_make_seeds <corpus directory>
// The text corpora (query lines, actions, templates, INI files, scripts) are
// files under corpus/ written by hand.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/qv_client.h"
#include "model/server_types.h"
#include "protocol/command_types.h"
#include "voice/command_table.h"

using namespace qv;
namespace fs = std::filesystem;

namespace {

using TBytes = std::string;

TBytes Bytes(const TPacket& p) { return TBytes(reinterpret_cast<const char*>(p.Data()), p.Size()); }

void Write(const fs::path& dir, const std::string& name, const TBytes& bytes) {
  fs::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << bytes;
}

// A datagram record of the datagram target: flags, length, bytes.
TBytes Record(uint8_t flags, const TPacket& p) {
  const TBytes b = Bytes(p).substr(0, 255);
  return TBytes(1, static_cast<char>(flags)) + static_cast<char>(b.size()) + b;
}

TBytes Payload(size_t size) {
  TBytes p(size, '\0');
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<char>('a' + i % 26);
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds <corpus directory>\n");
    return 2;
  }
  const fs::path root = argv[1];

  TClientLogin login;
  login.NickName = "ann";
  Write(root / "login", "anonymous", Bytes(*BuildLoginRequest(login)));
  login.LoginName = "fuzz";
  login.Password = "secret";
  login.Channel = "Lobby";
  login.SubChannel = "Sub";
  Write(root / "login", "registered_channel", Bytes(*BuildLoginRequest(login)));

  // Datagrams from player 1 (flags 0: port 40001), checksums filled in.
  auto command = NewCommandPacket(CMD_cs_PlayerChannelSwitch, 1001, 1);
  command->SetSequence(1);
  command->SetSize(CommandHeader::Size + 34);
  auto ping = NewControlPacket(ctPing, 1001, 1);
  ping->SetSequence(1);
  auto ack = NewAckPacket(0, 1001, 1, 1);
  auto voice = NewC2SVoicePacket(0, codecSpeex2150, 1001, 1, 1, 0);
  voice->SetSize(C2SVoiceHeader::Size + 40);
  auto closing = NewCommandPacket(CMD_cs_PlayerQuit, 1003, 3);
  closing->SetSequence(1);
  Write(root / "datagram", "command_ping_ack_voice",
        Record(1, *command) + Record(1, *ping) + Record(0, *ack) + Record(0, *voice));
  Write(root / "datagram", "closing_player", Record(1 | (2 << 1), *closing));
  Write(root / "datagram", "login", Record(0, *BuildLoginRequest(login)));
  auto big = NewCommandPacket(CMD_cs_PlayerChannelSwitch, 1001, 1);
  big->SetSize(CommandHeader::Size + 700);
  TBytes fragmented;
  uint32_t sequence = 1;
  for (TPacketPtr& f : FragmentCommand(std::move(big))) {
    f->SetSequence(sequence++);
    f->SetSize(std::min<size_t>(f->Size(), 200));  // a record holds 255 bytes
    fragmented += Record(1, *f);
  }
  Write(root / "datagram", "fragments", fragmented);

  Write(root / "fragments", "whole", TBytes(1, '\0') + Payload(100));
  Write(root / "fragments", "two_in_order", TBytes(1, '\0') + Payload(kMaxUnfragmentedCommand + 10));
  Write(root / "fragments", "three_reversed_resent", TBytes(1, '\x05') + Payload(3 * kFragmentPayload - 40));

  // Every client command from player 1 with its fixed part (zeros).
  for (const TRequestRow& row : kClientCommands) {
    TBytes r;
    r += static_cast<char>(0);
    r += static_cast<char>(row.Type & 0xFF);
    r += static_cast<char>(row.Type >> 8);
    r += static_cast<char>(std::min<size_t>(row.MinSize, 255));
    r += TBytes(std::min<size_t>(row.MinSize, 255), '\0');
    Write(root / "client_command", std::to_string(row.Type), r);
  }
  return 0;
}
