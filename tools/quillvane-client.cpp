// quillvane-client: log in to a Quillvane server, print what it says, and
// send text, channel switches, test voice and raw commands.
//
// Commands come from -e options (the client quits after the last one) or,
// without any -e, from standard input, one per line, until end of input or
// Ctrl-C. Every event the server sends is printed as one readable line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netdb.h>
#include <netinet/in.h>

#include "base/mutex.h"
#include "client/qv_client.h"
#include "protocol/command_types.h"

namespace {

using namespace qv;

const char* kUsage = R"(Usage: quillvane-client [options] [HOST[:PORT]]   (default 127.0.0.1:8767)
  -n, --nick NAME             nick name
  -l, --login NAME            log in with this account (anonymous without)
  -p, --password TEXT         account password; for an anonymous login the server password
      --server-password       the password must also match the server password
  -u, --unique                let the server make the nick name unique
  -c, --channel NAME          channel to join      --subchannel NAME
      --channel-password TEXT                      --bandwidth KBIT (upload limit)
      --client-version A.B.C.D                     (default 2.0.32.60)
  -e, --exec COMMAND          run a command; repeatable; quit after the last one
  -v, --verbose               print every voice packet (default: a summary)
Commands:
  say TEXT                    text to everybody
  tell PLAYERID TEXT          text to one player
  chan CHANNELID TEXT         text to a channel
  switch CHANNELID [PASSWORD] switch channel
  voice COUNT [TARGET [CODEC [BYTES]]]   send COUNT voice packets 20 ms apart
  whisper PLAYERID COUNT      whisper COUNT voice packets to one player
  raw TYPE [HEX...]           send a command with a raw payload
  wait SECONDS                keep listening
  players | channels | voicestats
  quit
)";

std::atomic<bool> interrupted{false};

void OnSignal(int) { interrupted.store(true); }

const char* LoginCodeText(int code) {
  switch (code) {
    case lcAccepted: return "accepted";
    case peNoReplyFromServer: return "No reply from server";
    case peConnectionTimedOut: return "Connection Timed out";
    case peBadResponse: return "Got a bad response from the server";
    default: return LoginRefusalReason(code);
  }
}

struct TVoiceStats {
  uint32_t Packets = 0;
  uint64_t Bytes = 0;
  uint8_t Codec = 0;
  uint8_t Target = 0;
};

class TClientTool {
 public:
  TClientTool(bool verbose) : verbose_(verbose) {
    client_.SetEventHandler([this](const TClientEvent& e) { OnEvent(e); });
  }

  int Run(const TClientLogin& login, const std::vector<std::string>& commands) {
    int result = client_.Login(login);
    if (result != 1) {
      Print(fmt::format("login failed: {} ({})", result, LoginCodeText(result)));
      return 2;
    }
    const TLoginReply reply = client_.LoginReply();
    Print(fmt::format("logged in to \"{}\" ({} {}.{}.{}.{}) as player #{}; welcome: {}", reply.ServerName,
                      reply.ServerPlatform, reply.ServerVersion[0], reply.ServerVersion[1],
                      reply.ServerVersion[2], reply.ServerVersion[3], reply.PlayerId,
                      reply.WelcomeMessage));
    if (!commands.empty()) {
      for (const auto& c : commands) {
        if (!Execute(c)) break;
      }
    } else {
      std::string line;
      while (!interrupted.load() && std::getline(std::cin, line)) {
        if (!Execute(line)) break;
      }
    }
    PrintVoiceStats();
    if (client_.LoggedIn()) client_.Quit();
    return 0;
  }

 private:
  void Print(const std::string& line) {
    std::lock_guard<std::mutex> lock(printMutex_);
    std::cout << line << std::endl;
  }

  void OnEvent(const TClientEvent& e) {
    if (e.Kind == ceVoice) {
      {
        TMutexLock lock(statsMutex_);
        auto& s = voice_[e.SpeakerId];
        ++s.Packets;
        s.Bytes += e.Payload.size();
        s.Codec = e.Codec;
        s.Target = e.Target;
      }
      if (!verbose_) return;
    }
    Print(DescribeEvent(e));
  }

  void PrintVoiceStats() {
    TMutexLock lock(statsMutex_);
    for (const auto& [speaker, s] : voice_) {
      auto p = client_.FindPlayer(speaker);
      Print(fmt::format("voice received from #{} \"{}\": {} packets, {} bytes, codec {}, target {}",
                        speaker, p ? p->NickName : "?", s.Packets, s.Bytes, s.Codec, s.Target));
    }
    if (voice_.empty()) Print("voice received: none");
  }

  void SendVoiceStream(int count, uint8_t target, uint8_t codec, size_t bytes,
                       const std::vector<std::pair<uint8_t, uint32_t>>& whisper) {
    int sent = 0;
    for (int i = 0; i < count && !interrupted.load(); ++i) {
      std::vector<uint8_t> data(bytes);
      for (size_t k = 0; k < bytes; ++k) data[k] = static_cast<uint8_t>(i + k);
      if (target == 1) data = TQVClient::WhisperData(whisper, data);
      if (client_.SendVoice(target, codec, data)) ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Print(fmt::format("voice sent: {} packets of {} bytes, target {}, codec {}", sent, bytes, target,
                      codec));
  }

  // False ends the session.
  bool Execute(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    if (!(in >> verb) || verb[0] == '#') return true;
    auto rest = [&in] {
      std::string text;
      std::getline(in >> std::ws, text);
      return text;
    };
    bool ok = true;
    if (verb == "quit") {
      return false;
    } else if (verb == "say") {
      ok = client_.SendText(0, 0, rest());
    } else if (verb == "tell" || verb == "chan") {
      uint32_t id = 0;
      ok = static_cast<bool>(in >> id) && client_.SendText(verb == "tell" ? 2 : 1, id, rest());
    } else if (verb == "switch") {
      int32_t id = 0;
      std::string password;
      ok = static_cast<bool>(in >> id);
      in >> password;
      ok = ok && client_.SwitchChannel(id, password);
    } else if (verb == "voice") {
      int count = 0, target = 0, codec = 0, bytes = 33;
      ok = static_cast<bool>(in >> count);
      in >> target >> codec >> bytes;
      if (ok) SendVoiceStream(count, static_cast<uint8_t>(target), static_cast<uint8_t>(codec),
                              static_cast<size_t>(std::clamp(bytes, 0, 16000)), {});
    } else if (verb == "whisper") {
      uint32_t id = 0;
      int count = 0;
      ok = static_cast<bool>(in >> id >> count);
      if (ok) SendVoiceStream(count, 1, 0, 33, {{1, id}});
    } else if (verb == "raw") {
      unsigned type = 0;
      ok = static_cast<bool>(in >> type) && type <= 0xFFFF;
      std::vector<uint8_t> payload;
      std::string hex;
      while (ok && in >> hex) {
        ok = hex.size() % 2 == 0 && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        for (size_t i = 0; ok && i < hex.size(); i += 2) {
          payload.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
      }
      ok = ok && client_.SendCommand(static_cast<uint16_t>(type), payload);
    } else if (verb == "wait") {
      double seconds = 0;
      in >> seconds;
      auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000));
      while (std::chrono::steady_clock::now() < end && !interrupted.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    } else if (verb == "players") {
      for (const auto& p : client_.Players()) {
        Print(fmt::format("player #{} \"{}\" channel {} cp=0x{:02x} sp=0x{:02x}", p.PlayerId, p.NickName,
                          p.ChannelId, p.ChannelPrivileges, p.PlayerPrivileges));
      }
    } else if (verb == "channels") {
      for (const auto& c : client_.Channels()) {
        Print(fmt::format("channel #{} \"{}\" parent {} flags=0x{:02x} max {}", c.Id, c.Name, c.ParentId,
                          c.Flags, c.MaxUsers));
      }
    } else if (verb == "voicestats") {
      PrintVoiceStats();
    } else {
      Print("unknown command: " + verb);
      return true;
    }
    if (!ok) Print("not done: " + line);
    return client_.LoggedIn();
  }

  const bool verbose_;
  TQVClient client_;
  std::mutex printMutex_;
  TMutex statsMutex_;
  std::map<uint32_t, TVoiceStats> voice_ GUARDED_BY(statsMutex_);
};

// The IPv4 address of a host name or address text; empty when unknown.
std::string ResolveIPv4(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return "";
  char text[INET_ADDRSTRLEN] = {};
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return text;
}

bool ParseServer(const std::string& text, TClientLogin& login) {
  size_t colon = text.rfind(':');
  login.ServerIp = ResolveIPv4(text.substr(0, colon));
  if (colon == std::string::npos) return !login.ServerIp.empty();
  try {
    unsigned long port = std::stoul(text.substr(colon + 1));
    if (port == 0 || port > 65535) return false;
    login.ServerPort = static_cast<uint16_t>(port);
  } catch (const std::exception&) {
    return false;
  }
  return !login.ServerIp.empty();
}

}  // namespace

int main(int argc, char** argv) {
  TClientLogin login;
  login.NickName = "quillvane-client";
  std::vector<std::string> commands;
  bool verbose = false;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string* { return i + 1 < args.size() ? &args[++i] : nullptr; };
    const std::string* v = nullptr;
    if (a == "-h" || a == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (a == "--server-password") {
      login.ServerPasswordFlag = true;
    } else if (a == "-u" || a == "--unique") {
      login.UniqueNick = true;
    } else if (a == "-v" || a == "--verbose") {
      verbose = true;
    } else if (a[0] != '-') {
      if (!ParseServer(a, login)) {
        std::cerr << "unknown server address: " << a << "\n";
        return 1;
      }
    } else if (!(v = value())) {
      std::cerr << "missing value for " << a << "\n" << kUsage;
      return 1;
    } else if (a == "-n" || a == "--nick") {
      login.NickName = *v;
    } else if (a == "-l" || a == "--login") {
      login.LoginName = *v;
    } else if (a == "-p" || a == "--password") {
      login.Password = *v;
    } else if (a == "-c" || a == "--channel") {
      login.Channel = *v;
    } else if (a == "--subchannel") {
      login.SubChannel = *v;
    } else if (a == "--channel-password") {
      login.ChannelPassword = *v;
    } else if (a == "--bandwidth") {
      login.UploadBandwidth = std::atoi(v->c_str());
    } else if (a == "--client-version") {
      auto version = ParseVersion(*v);
      if (!version) {
        std::cerr << "bad version: " << *v << "\n";
        return 1;
      }
      login.ClientVersion = *version;
    } else if (a == "-e" || a == "--exec") {
      commands.push_back(*v);
    } else {
      std::cerr << "unknown option " << a << "\n" << kUsage;
      return 1;
    }
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;  // no SA_RESTART: Ctrl-C ends a blocked read
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  try {
    TClientTool tool(verbose);
    return tool.Run(login, commands);
  } catch (const std::exception& e) {
    std::cerr << "quillvane-client: " << ExceptionText(e) << "\n";
    return 1;
  }
}
