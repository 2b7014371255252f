#include "voice/listener_context.h"

#include <fmt/format.h>

namespace qv {

namespace {
constexpr const char* kErrorCategory = "UDP Listener";
constexpr const char* kAccessCategory = "AccessLog";
constexpr const char* kVoiceCategory = "UDP VOICE";
}  // namespace

TListenerContext::TListenerContext(TServerObject& server, TCustomPacketBuffer& buffer)
    : server_(server),
      buffer_(buffer),
      serverId_(server.ServerId),
      passwordChecks_(server.PasswordChecks),
      loginChecks_(std::make_shared<TLoginChecks>(buffer)) {}

TListenerContext::~TListenerContext() { loginChecks_->Close(); }

void TListenerContext::SendPacket(TPacketPtr packet, bool closeAfter) {
  try {
    buffer_.SendPacket(std::move(packet), closeAfter);
  } catch (const std::exception& e) {
    LogError(fmt::format("SendPacket Exception: {}", ExceptionText(e)));
  }
}

void TListenerContext::SendError(int32_t code, uint16_t requestType, uint32_t requestSequence) {
  if (player_) SendError(*player_, code, requestType, requestSequence);
}

void TListenerContext::SendError(const TClientRec& to, int32_t code, uint16_t requestType, uint32_t requestSequence) {
  SendPacket(NewErrorPacket(static_cast<int16_t>(code), to.ConnectionId, to.PlayerId, requestType, requestSequence));
}

void TListenerContext::LogError(const std::string& text) const {
  LogMsg(lmtError, lmdImportant, fmt::format("SID: {} {}", serverId_, text), kErrorCategory);
}

void TListenerContext::LogError(const TRemoteLine& line) const {
  LogRemote(lmtError, lmdImportant, line.Prefixed(fmt::format("SID: {} ", serverId_)), kErrorCategory);
}

void TListenerContext::LogAccess(const std::string& text) const {
  if (!server_.AccessLog) return;
  LogMsg(lmtAll, lmdInfo, fmt::format("SID: {} {}", serverId_, text), kAccessCategory);
}

void TListenerContext::LogAccess(const TRemoteLine& line) const {
  if (!server_.AccessLog) return;
  LogRemote(lmtAll, lmdInfo, line.Prefixed(fmt::format("SID: {} ", serverId_)), kAccessCategory);
}

void TListenerContext::LogVoice(const std::string& text) const {
  LogMsg(lmtError, lmdImportant, fmt::format("SID: {} {}", serverId_, text), kVoiceCategory);
}

void TListenerContext::LogHandlerException(std::string_view handler, const std::exception& e) const {
  LogError(fmt::format("{} Exception: {}", handler, ExceptionText(e)));
}

}  // namespace qv
