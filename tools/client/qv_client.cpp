#include "client/qv_client.h"

#include <chrono>
#include <fmt/format.h>

#include "protocol/command_types.h"

namespace qv {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kLoginReplySize = 436;
constexpr size_t kChannelHeadSize = 16;

// --- decoding ---------------------------------------------------------------

TClientPlayer ReadPlayerEntry(TPacket& p) {
  TClientPlayer player;
  player.PlayerId = p.ReadU32();
  player.ChannelId = p.ReadI32();
  player.ChannelPrivileges = p.ReadU16();
  player.PlayerPrivileges = p.ReadU16();
  player.PlayerFlags = p.ReadU16();
  player.NickName = p.ReadText(kShortTextField);
  return player;
}

TClientChannel ReadChannel(TPacket& p) {
  TClientChannel channel;
  uint8_t head[kChannelHeadSize];
  p.ReadBuffer(head, sizeof head);  // raises before anything is used when short
  p.SetPosition(p.Position() - sizeof head);
  channel.Id = p.ReadI32();
  channel.Flags = p.ReadU16();
  channel.Codec = p.ReadU16();
  channel.ParentId = p.ReadI32();
  channel.Order = p.ReadU16();
  channel.MaxUsers = p.ReadU16();
  channel.Name = p.ReadCString();
  channel.Topic = p.ReadCString();
  channel.Description = p.ReadCString();
  return channel;
}

// A count from the network never makes us read more entries than the
// packet holds or than the layout allows.
void ReadPlayerEntries(TPacket& p, TClientEvent& e) {
  p.SetPosition(24);
  uint32_t count = p.ReadU32();
  if (count > 10) {
    e.Malformed = true;
    count = 10;
  }
  for (uint32_t i = 0; i < count; ++i) e.Players.push_back(ReadPlayerEntry(p));
}

void ReadChannelList(TPacket& p, TClientEvent& e) {
  p.SetPosition(24);
  uint32_t count = p.ReadU32();
  for (uint32_t i = 0; i < count; ++i) {
    if (p.Position() >= p.Size()) {
      e.Malformed = true;
      return;
    }
    e.Channels.push_back(ReadChannel(p));
  }
}

void ReadVoice(const TPacket& p, TClientEvent& e) {
  e.Kind = ceVoice;
  e.Target = p.VoiceTarget();
  e.Codec = p.VoiceCodec();
  e.SpeakerId = p.SpeakerId();
  e.Value = p.GetU16(S2CVoiceHeader::SpeakerSequence);
  e.Payload.assign(p.Data() + S2CVoiceHeader::Size, p.Data() + p.Size());
}

void ReadPlayerIdAndChannels(TPacket& p, TClientEvent& e) {
  e.PlayerId = p.GetU32(24);
  e.OldChannelId = static_cast<int32_t>(p.GetU32(28));
  e.ChannelId = static_cast<int32_t>(p.GetU32(32));
}

void ReadPrivilegeChange(TPacket& p, TClientEvent& e) {
  e.PlayerId = p.GetU32(24);
  e.Action = p.GetU8(28);
  e.Value = p.GetU8(29);
  e.ActorId = p.GetU32(30);
}

void ReadChannelChange(TPacket& p, TClientEvent& e) {
  e.Kind = ceChannelChanged;
  e.ChannelId = static_cast<int32_t>(p.GetU32(24));
  switch (p.CommandType()) {
    case CMD_sc_NotifyChannelPropertiesChanged:
      e.Value = p.GetU16(28) | (static_cast<uint32_t>(p.GetU16(30)) << 16);  // flags, codec
      e.ActorId = p.GetU32(32);
      break;
    case CMD_sc_NotifyChannelMaxUsersChanged:
    case CMD_sc_NotifyChannelOrderChanged:
      e.Value = p.GetU16(28);
      e.ActorId = p.GetU32(30);
      break;
    default:  // name, topic, description
      e.ActorId = p.GetU32(28);
      p.SetPosition(32);
      e.Text = p.ReadCString();
  }
}

void ReadCommand(TPacket& p, TClientEvent& e) {
  const uint16_t type = p.CommandType();
  if (IsErrorPacketType(type)) {
    e.Kind = ceError;
    e.Code = static_cast<int16_t>(type);
    e.FailedType = p.GetU16(ErrorPacketLayout::FailedCommandType);
    e.FailedSequence = p.GetU32(ErrorPacketLayout::FailedSequence);
    return;
  }
  switch (type) {
    case CMD_sc_LoginStep4:
      e.Kind = ceChannelList;
      ReadChannelList(p, e);
      break;
    case CMD_sc_LoginStep5:
      e.Kind = cePlayerList;
      ReadPlayerEntries(p, e);
      break;
    case CMD_sc_LoginStep6:
      e.Kind = ceLoginComplete;
      break;
    case CMD_sc_NotifyPlayerEnteredScope:
      e.Kind = cePlayerEntered;
      p.SetPosition(24);
      e.Players.push_back(ReadPlayerEntry(p));
      e.PlayerId = e.Players[0].PlayerId;
      break;
    case CMD_sc_NotifyPlayerLeftScope:
      e.Kind = cePlayerLeft;
      e.PlayerId = p.GetU32(24);
      e.Reason = p.GetU16(28);
      e.ActorId = p.GetU32(30);
      p.SetPosition(34);
      e.Text = p.ReadText(kShortTextField);
      break;
    case CMD_sc_NotifyPlayerSwitchedChannel:
      e.Kind = cePlayerSwitched;
      ReadPlayerIdAndChannels(p, e);
      e.Privileges = p.GetU16(36);
      break;
    case CMD_sc_NotifyPlayersInSwitchedChannel:
      e.Kind = cePlayersInView;
      ReadPlayerEntries(p, e);
      break;
    case CMD_sc_NotifyPlayerKickedFromChannel:
      e.Kind = cePlayerKicked;
      ReadPlayerIdAndChannels(p, e);
      e.Privileges = p.GetU16(36);
      p.SetPosition(38);
      e.Text = p.ReadText(kShortTextField);
      break;
    case CMD_sc_NotifyPlayerMovedToChannel:
      e.Kind = cePlayerMoved;
      ReadPlayerIdAndChannels(p, e);
      e.ActorId = p.GetU32(36);
      e.Privileges = p.GetU16(40);
      break;
    case CMD_sc_NotifyPlayerFlagsChanged:
      e.Kind = cePlayerFlags;
      e.PlayerId = p.GetU32(24);
      e.Value = p.GetU16(28);
      break;
    case CMD_sc_NotifyPlayerRequestedVoice:
      e.Kind = ceRequestedVoice;
      e.PlayerId = p.GetU32(24);
      p.SetPosition(28);
      e.Text = p.ReadText(kShortTextField);
      break;
    case CMD_sc_NotifyPlayerChannelPrivilegeChanged:
      e.Kind = ceChannelPrivilege;
      ReadPrivilegeChange(p, e);
      break;
    case CMD_sc_NotifyPlayerPrivilegesChanged:
      e.Kind = cePlayerPrivilege;
      ReadPrivilegeChange(p, e);
      break;
    case CMD_sc_NotifyChannelCreated:
      e.Kind = ceChannelCreated;
      e.ActorId = p.GetU32(24);
      p.SetPosition(28);
      e.Channels.push_back(ReadChannel(p));
      e.ChannelId = e.Channels[0].Id;
      break;
    case CMD_sc_NotifyChannelNameChanged:
    case CMD_sc_NotifyChannelTopicChanged:
    case CMD_sc_NotifyChannelPropertiesChanged:
    case CMD_sc_NotifyChannelDescriptionChanged:
    case CMD_sc_NotifyChannelMaxUsersChanged:
    case CMD_sc_NotifyChannelOrderChanged:
      ReadChannelChange(p, e);
      break;
    case CMD_sc_NotifyChannelDestroyed:
      e.Kind = ceChannelDestroyed;
      e.ChannelId = p.GetU16(24);
      e.ActorId = p.GetU32(26);
      break;
    case CMD_sc_NotifyTextMessage:
      e.Kind = ceTextMessage;
      e.Value = p.GetU32(24);
      e.Action = p.GetU8(28);
      p.SetPosition(29);
      e.Nick = p.ReadText(kShortTextField);
      e.Text = p.ReadCString();
      break;
    case CMD_sc_NotifyServerPropertiesChanged:
      e.Kind = ceServerProperties;
      e.Value = p.GetU32(100);
      p.SetPosition(360);
      e.Text = p.ReadText(kShortTextField);
      break;
    default:
      e.Kind = ceCommand;
  }
}

// --- describing -------------------------------------------------------------

std::string PlayerText(const TClientPlayer& p) {
  return fmt::format("#{} \"{}\" channel {} cp=0x{:02x} sp=0x{:02x} flags=0x{:02x}", p.PlayerId,
                     p.NickName, p.ChannelId, p.ChannelPrivileges, p.PlayerPrivileges, p.PlayerFlags);
}

std::string ChannelText(const TClientChannel& c) {
  return fmt::format("#{} \"{}\" parent {} flags=0x{:02x} codec {} order {} max {} topic \"{}\"", c.Id,
                     c.Name, c.ParentId, c.Flags, c.Codec, c.Order, c.MaxUsers, c.Topic);
}

std::string ListText(const TClientEvent& e) {
  std::string text;
  for (const auto& p : e.Players) text += "\n  player " + PlayerText(p);
  for (const auto& c : e.Channels) text += "\n  channel " + ChannelText(c);
  return text;
}

const char* LeftReasonText(uint16_t reason) {
  switch (reason) {
    case 1: return "left the server";
    case 2: return "kicked from the server";
    case 4: return "server stopped";
    case 6: return "left view";
    default: return "unknown reason";
  }
}

// --- building -----------------------------------------------------------------

void WriteVersion(TPacket& p, const std::array<uint16_t, 4>& v) {
  for (uint16_t n : v) p.WriteU16(n);
}

}  // namespace

TClientEvent ParseServerPacket(const TPacket& packet) {
  TClientEvent e;
  e.Raw.assign(packet.Data(), packet.Data() + packet.Size());
  TPacket p;
  p.CopyFrom(packet);
  try {
    if (p.IsS2CVoice()) {
      ReadVoice(p, e);
    } else if (p.IsCommand()) {
      e.CommandType = p.CommandType();
      ReadCommand(p, e);
    } else {
      e.Malformed = true;
    }
  } catch (const EStreamError&) {
    e.Malformed = true;
  }
  return e;
}

TLoginReply ParseLoginReply(const TPacket& packet) {
  TLoginReply r;
  TPacket p;
  p.CopyFrom(packet);
  if (!p.IsControl() || p.CommandType() != CMD_sc_LoginStep2 || p.Size() < kLoginReplySize) {
    r.Result = peBadResponse;
    return r;
  }
  p.SetPosition(ControlHeader::Size);
  r.ServerName = p.ReadText(kShortTextField);
  r.ServerPlatform = p.ReadText(kShortTextField);
  for (auto& n : r.ServerVersion) n = p.ReadU16();
  r.Result = p.ReadI32();
  r.CodecMask = p.ReadU32();
  p.ReadU32();
  r.ServerFlags = p.ReadU16();
  p.ReadBuffer(r.Permissions.data(), r.Permissions.size());
  r.MaxPlayers = p.ReadU32();
  r.ConnectionId = p.ReadU32();
  r.PlayerId = p.ReadU32();
  r.WelcomeMessage = p.ReadText(kLongTextField);
  return r;
}

std::string DescribeEvent(const TClientEvent& e) {
  std::string prefix = e.Malformed ? "(malformed) " : "";
  switch (e.Kind) {
    case ceLoginReply: return prefix + fmt::format("login result {}", e.Code);
    case ceChannelList: return prefix + fmt::format("channel list: {} channels", e.Channels.size()) + ListText(e);
    case cePlayerList: return prefix + fmt::format("player list: {} players", e.Players.size()) + ListText(e);
    case ceLoginComplete: return prefix + "login complete";
    case cePlayerEntered:
      return prefix + "player entered: " + (e.Players.empty() ? "?" : PlayerText(e.Players[0]));
    case cePlayerLeft:
      return prefix + fmt::format("player #{} left: {} (reason {}, by #{}, \"{}\")", e.PlayerId,
                                  LeftReasonText(e.Reason), e.Reason, e.ActorId, e.Text);
    case cePlayerSwitched:
      return prefix + fmt::format("player #{} switched channel {} -> {} (cp=0x{:02x})", e.PlayerId,
                                  e.OldChannelId, e.ChannelId, e.Privileges);
    case cePlayersInView:
      return prefix + fmt::format("players in new view: {}", e.Players.size()) + ListText(e);
    case cePlayerKicked:
      return prefix + fmt::format("player #{} kicked from channel {} to {}: \"{}\"", e.PlayerId,
                                  e.OldChannelId, e.ChannelId, e.Text);
    case cePlayerMoved:
      return prefix + fmt::format("player #{} moved from channel {} to {} by #{}", e.PlayerId,
                                  e.OldChannelId, e.ChannelId, e.ActorId);
    case cePlayerFlags: return prefix + fmt::format("player #{} flags 0x{:02x}", e.PlayerId, e.Value);
    case ceRequestedVoice:
      return prefix + fmt::format("player #{} requests voice: \"{}\"", e.PlayerId, e.Text);
    case ceChannelPrivilege:
    case cePlayerPrivilege:
      return prefix + fmt::format("player #{} {} privilege {} action {} by #{}", e.PlayerId,
                                  e.Kind == ceChannelPrivilege ? "channel" : "server", e.Value,
                                  e.Action, e.ActorId);
    case ceChannelCreated: return prefix + fmt::format("channel created by #{}", e.ActorId) + ListText(e);
    case ceChannelChanged:
      return prefix + fmt::format("channel {} changed (type {}) by #{}: value {} \"{}\"", e.ChannelId,
                                  e.CommandType, e.ActorId, e.Value, e.Text);
    case ceChannelDestroyed:
      return prefix + fmt::format("channel {} destroyed by #{}", e.ChannelId, e.ActorId);
    case ceTextMessage:
      return prefix + fmt::format("text from \"{}\" (kind {}): {}", e.Nick, e.Action, e.Text);
    case ceServerProperties:
      return prefix + fmt::format("server properties changed: \"{}\", max {} players", e.Text, e.Value);
    case ceError:
      return prefix + fmt::format("error {} for command {} (sequence {})", e.Code, e.FailedType,
                                  e.FailedSequence);
    case ceCommand: return prefix + fmt::format("command type {} ({} bytes)", e.CommandType, e.Raw.size());
    case ceVoice:
      return prefix + fmt::format("voice from #{} target {} codec {} ({} bytes)", e.SpeakerId, e.Target,
                                  e.Codec, e.Payload.size());
    case ceTimedOut: return "connection timed out";
    case ceClosed: return "connection closed";
  }
  return prefix + "event";
}

TPacketPtr BuildLoginRequest(const TClientLogin& login) {
  TPacketPtr p = NewControlPacket(CMD_cs_LoginStep1, 0, 0);
  p->SetSequence(1);
  p->WriteText(login.ClientName, kShortTextField);
  p->WriteText(login.ClientPlatform, kShortTextField);
  WriteVersion(*p, login.ClientVersion);
  p->WriteU8(login.UniqueNick ? 1 : 0);
  p->WriteU8(login.ServerPasswordFlag ? 1 : 0);
  p->WriteText(login.LoginName, kShortTextField);
  p->WriteText(login.Password, kShortTextField);
  p->WriteText(login.NickName, kShortTextField);
  p->SetPeer(login.ServerIp, login.ServerPort);
  return p;
}

TPacketPtr BuildLoginStep3(const TClientLogin& login, uint32_t connectionId, uint32_t playerId) {
  TPacketPtr p = NewCommandPacket(CMD_cs_LoginStep3, connectionId, playerId);
  p->WriteU8(0);
  p->WriteU8(login.Step3Flag ? 1 : 0);
  p->WriteText(login.Channel, kShortTextField);
  p->WriteText(login.SubChannel, kShortTextField);
  p->WriteText(login.ChannelPassword, kShortTextField);
  p->WriteI32(login.UploadBandwidth);
  return p;
}

std::optional<std::array<uint16_t, 4>> ParseVersion(const std::string& text) {
  std::array<uint16_t, 4> v{};
  size_t start = 0;
  for (size_t i = 0; i < 4; ++i) {
    size_t end = text.find('.', start);
    if ((end == std::string::npos) != (i == 3)) return std::nullopt;
    std::string part = text.substr(start, end == std::string::npos ? end : end - start);
    if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    unsigned long n = std::stoul(part);
    if (n > 65535) return std::nullopt;
    v[i] = static_cast<uint16_t>(n);
    start = end + 1;
  }
  return v;
}

// ---------------------------------------------------------------------------
// TClientEndpoint

std::shared_ptr<TClientEndpoint> TClientEndpoint::Create(const std::string& bindAddress, TDatagramTap tap) {
  std::shared_ptr<TClientEndpoint> endpoint(new TClientEndpoint());
  endpoint->tap_ = std::move(tap);
  endpoint->Start(bindAddress);
  return endpoint;
}

void TClientEndpoint::Start(const std::string& bindAddress) {
  buffer_.SetStoreLoginReply(true);
  socket_.Open(0, bindAddress);
  socket_.Start([this](const uint8_t* data, size_t size, const std::string& ip, uint16_t port) {
    if (buffer_.ShuttingDown()) return;
    if (tap_ && tap_(data, size)) return;
    try {
      buffer_.ReceivePacket(std::make_unique<TPacket>(data, size, ip, port));
    } catch (...) {
      // Invalid or unexpected datagrams vanish, as on the server.
    }
  }, TUDPSocket::kLargestDatagram);
  sender_ = std::make_unique<TQVUDPSender>(buffer_, socket_, 0);
  sender_->Start();
  dispatcher_ = std::thread(&TClientEndpoint::Dispatch, this);
}

TClientEndpoint::~TClientEndpoint() {
  buffer_.Shutdown(2000);
  if (dispatcher_.joinable()) dispatcher_.join();
  sender_.reset();
  socket_.Close();
}

bool TClientEndpoint::Attach(uint32_t playerId, TQVClient* client) {
  TMutexLock lock(clientsMutex_);
  return clients_.emplace(playerId, client).second;
}

void TClientEndpoint::Detach(uint32_t playerId, TQVClient* client, bool keepConnection) {
  TMutexLock lock(clientsMutex_);
  auto it = clients_.find(playerId);
  if (it == clients_.end() || it->second != client) return;
  clients_.erase(it);
  if (!keepConnection) buffer_.RemoveConnection(playerId);
}

void TClientEndpoint::Dispatch() {
  for (;;) {
    uint32_t playerId = 0;
    TEventKind kind = evPacket;
    TPacketPtr packet;
    try {
      buffer_.GetNextEvent(playerId, kind, packet);
    } catch (...) {
      continue;
    }
    if (kind == evShutdown) break;
    if (kind == evExternal) continue;
    TClientEvent event;
    if (kind == evPacket) {
      if (!packet) continue;
      event = ParseServerPacket(*packet);
    } else {
      event.Kind = kind == evTimedOut ? ceTimedOut : ceClosed;
      // The connection is over; a client that logs in again gets a new one.
      buffer_.RemoveConnection(playerId);
    }
    TMutexLock lock(clientsMutex_);
    auto it = clients_.find(playerId);
    if (it != clients_.end()) it->second->Deliver(std::move(event));
  }
  buffer_.MarkThreadDone(kListenerThreadBit);
}

// ---------------------------------------------------------------------------
// TQVClient

TQVClient::TQVClient(std::shared_ptr<TClientEndpoint> endpoint)
    : endpoint_(endpoint ? std::move(endpoint) : TClientEndpoint::Create()) {}

TQVClient::~TQVClient() { Disconnect(); }

int TQVClient::ExchangeLoginRequest(const TClientLogin& login, TLoginReply& reply) {
  TCustomPacketBuffer& buffer = endpoint_->buffer_;
  std::lock_guard<std::mutex> lock(endpoint_->loginMutex_);
  buffer.TakeLoginReply();  // a late answer to an earlier request
  buffer.SendConnectionless(BuildLoginRequest(login));
  const auto deadline = Clock::now() + std::chrono::milliseconds(login.TimeoutMs);
  for (;;) {
    if (TPacketPtr answer = buffer.TakeLoginReply()) {
      reply = ParseLoginReply(*answer);
      return reply.Result;
    }
    if (Clock::now() >= deadline) return peNoReplyFromServer;
    std::this_thread::sleep_for(1ms);
  }
}

int TQVClient::Login(const TClientLogin& login) {
  Disconnect();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_.clear();
    players_.clear();
    voiceSequence_ = 0;
  }
  TLoginReply reply;
  int result = ExchangeLoginRequest(login, reply);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = reply;
  }
  TClientEvent verdict;
  verdict.Kind = ceLoginReply;
  verdict.Code = result;
  verdict.PlayerId = reply.PlayerId;
  Deliver(verdict);
  if (result != 1) return result;
  if (!endpoint_->Attach(reply.PlayerId, this)) return peBadResponse;
  try {
    // No client holds this player id, so a connection with it is one that a
    // quit left behind.
    endpoint_->buffer_.RemoveConnection(reply.PlayerId);
    endpoint_->buffer_.AddConnection(reply.PlayerId, reply.ConnectionId, 2, login.ServerPort,
                                     login.ServerIp);
  } catch (const std::exception&) {
    endpoint_->Detach(reply.PlayerId, this);
    return peBadResponse;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = loggedIn_ = true;
    playerId_ = reply.PlayerId;
    connectionId_ = reply.ConnectionId;
  }
  if (!login.CompleteLogin) return result;
  Queue(BuildLoginStep3(login, reply.ConnectionId, reply.PlayerId));
  std::unique_lock<std::mutex> lock(mutex_);
  bool done = changed_.wait_for(lock, std::chrono::milliseconds(login.TimeoutMs),
                                [this] { return loginComplete_ || !loggedIn_; });
  return done && loginComplete_ ? 1 : peConnectionTimedOut;
}

bool TQVClient::Quit(int timeoutMs) {
  if (!SendCommand(CMD_cs_PlayerQuit, {})) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  bool farewell = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    farewell = changed_.wait_until(lock, deadline, [this] { return farewell_ || !loggedIn_; }) &&
               farewell_;
  }
  // The server closes its side once the farewell is acknowledged. Should that
  // acknowledgement be lost, it sends the farewell again, so the connection
  // stays in the endpoint to answer until it times out or its player id is
  // handed out again.
  Release(farewell);
  return farewell;
}

void TQVClient::Release(bool keepConnection) {
  uint32_t playerId = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!attached_) return;
    playerId = playerId_;
    attached_ = loggedIn_ = loginComplete_ = farewell_ = false;
    changed_.notify_all();
  }
  endpoint_->Detach(playerId, this, keepConnection);
}

void TQVClient::Disconnect() { Release(false); }

bool TQVClient::Queue(TPacketPtr packet) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!loggedIn_) return false;
  }
  try {
    endpoint_->buffer_.SendPacket(std::move(packet));
  } catch (const std::exception&) {
    return false;  // the connection's queue is full
  }
  return true;
}

bool TQVClient::SendCommand(uint16_t commandType, const std::vector<uint8_t>& payload) {
  uint32_t playerId = 0, connectionId = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    playerId = playerId_;
    connectionId = connectionId_;
  }
  TPacketPtr p = NewCommandPacket(commandType, connectionId, playerId);
  if (!payload.empty()) p->Write(payload.data(), payload.size());
  return Queue(std::move(p));
}

bool TQVClient::SendText(uint8_t targetKind, uint32_t targetId, const std::string& text, uint32_t value) {
  TPacket payload;
  payload.WriteU32(value);
  payload.WriteU8(targetKind);
  payload.WriteU32(targetId);
  payload.WriteCString(text);
  return SendCommand(CMD_cs_InfoSendText, std::vector<uint8_t>(payload.Data(), payload.Data() + payload.Size()));
}

bool TQVClient::SwitchChannel(int32_t channelId, const std::string& password) {
  TPacket payload;
  payload.WriteI32(channelId);
  payload.WriteText(password, kShortTextField);
  return SendCommand(CMD_cs_PlayerChannelSwitch,
                     std::vector<uint8_t>(payload.Data(), payload.Data() + payload.Size()));
}

bool TQVClient::SendVoice(uint8_t target, uint8_t codec, const std::vector<uint8_t>& data,
                          uint16_t voiceWord) {
  uint32_t playerId = 0, connectionId = 0;
  uint16_t sequence = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!loginComplete_) return false;
    playerId = playerId_;
    connectionId = connectionId_;
    sequence = ++voiceSequence_;
  }
  TPacketPtr p = NewC2SVoicePacket(target, codec, connectionId, playerId, sequence, voiceWord);
  if (!data.empty()) p->Write(data.data(), data.size());
  return Queue(std::move(p));
}

std::vector<uint8_t> TQVClient::WhisperData(const std::vector<std::pair<uint8_t, uint32_t>>& entries,
                                            const std::vector<uint8_t>& codecData) {
  TPacket p;
  p.WriteU8(static_cast<uint8_t>(std::min<size_t>(entries.size(), 255)));
  for (size_t i = 0; i < entries.size() && i < 255; ++i) {
    p.WriteU8(entries[i].first);
    p.WriteU32(entries[i].second);
  }
  if (!codecData.empty()) p.Write(codecData.data(), codecData.size());
  return std::vector<uint8_t>(p.Data(), p.Data() + p.Size());
}

void TQVClient::SetEventHandler(TEventHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void TQVClient::Deliver(TClientEvent event) {
  TEventHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Apply(event);
    changed_.notify_all();
    if (!handler_) {
      if (events_.size() >= kMaxQueuedEvents) events_.pop_front();
      events_.push_back(std::move(event));
      return;
    }
    handler = handler_;
  }
  handler(event);
}

// Keeps the mirror of channels and players in step with what the server says.
void TQVClient::Apply(const TClientEvent& e) {
  switch (e.Kind) {
    case ceChannelList:
    case ceChannelCreated:
      for (const auto& c : e.Channels) channels_[c.Id] = c;
      break;
    case ceChannelDestroyed:
      channels_.erase(e.ChannelId);
      break;
    case cePlayerList:
    case cePlayerEntered:
    case cePlayersInView:
      for (const auto& p : e.Players) players_[p.PlayerId] = p;
      break;
    case cePlayerLeft:
      players_.erase(e.PlayerId);
      if (e.PlayerId == playerId_) farewell_ = true;
      break;
    case cePlayerSwitched:
    case cePlayerKicked:
    case cePlayerMoved:
      if (auto it = players_.find(e.PlayerId); it != players_.end()) {
        it->second.ChannelId = e.ChannelId;
        it->second.ChannelPrivileges = e.Privileges;
      }
      break;
    case cePlayerFlags:
      if (auto it = players_.find(e.PlayerId); it != players_.end()) {
        it->second.PlayerFlags = static_cast<uint16_t>(e.Value);
      }
      break;
    case ceLoginComplete:
      loginComplete_ = true;
      break;
    case ceTimedOut:
    case ceClosed:
      loggedIn_ = loginComplete_ = false;
      break;
    default:
      break;
  }
}

std::optional<TClientEvent> TQVClient::WaitFor(const std::function<bool(const TClientEvent&)>& match,
                                               int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t checked = 0;
  for (;;) {
    for (; checked < events_.size(); ++checked) {
      if (match(events_[checked])) {
        TClientEvent found = std::move(events_[checked]);
        events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(checked));
        return found;
      }
    }
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && checked == events_.size()) {
      return std::nullopt;
    }
    checked = std::min(checked, events_.size());
  }
}

std::optional<TClientEvent> TQVClient::WaitFor(TClientEventKind kind, int timeoutMs) {
  return WaitFor([kind](const TClientEvent& e) { return e.Kind == kind; }, timeoutMs);
}

std::vector<TClientEvent> TQVClient::TakeEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TClientEvent> out(std::make_move_iterator(events_.begin()),
                                std::make_move_iterator(events_.end()));
  events_.clear();
  return out;
}

bool TQVClient::LoggedIn() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loggedIn_;
}

uint32_t TQVClient::PlayerId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return playerId_;
}

TLoginReply TQVClient::LoginReply() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reply_;
}

std::vector<TClientChannel> TQVClient::Channels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TClientChannel> out;
  for (const auto& [id, c] : channels_) out.push_back(c);
  return out;
}

std::vector<TClientPlayer> TQVClient::Players() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<TClientPlayer> out;
  for (const auto& [id, p] : players_) out.push_back(p);
  return out;
}

std::optional<TClientPlayer> TQVClient::FindPlayer(uint32_t playerId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = players_.find(playerId);
  if (it == players_.end()) return std::nullopt;
  return it->second;
}

}  // namespace qv
