// The voice relay: every client voice packet goes out once per listener.
//
// The relay runs for every voice datagram, so it does the per-datagram work
// once (checks on the speaker and the channel, the relayed packet with the
// codec data) and per recipient only the tests that depend on him; the
// recipients' copies, each with his ids, are queued together at the end. Recipients come from the channels'
// member lists, never from a walk over all players.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "base/log.h"
#include "voice/voice_relay.h"
#include "voice/wire_layouts.h"

namespace qv::voice {

namespace {

// The most codec data one relayed packet carries; longer data is cut.
constexpr size_t kMaxCodecData = 16385;

// Values of the target byte.
constexpr uint8_t kTargetChannel = 0;
constexpr uint8_t kTargetParent = 2;

constexpr uint8_t kWhisperToChannel = 0;
constexpr uint8_t kWhisperToPlayer = 1;

// Whether the speaker may be heard in the channel. On a public server his
// voice stays within his own channel tree level: a sub-channel reaches its
// parent and siblings, a top-level channel the other top-level channels. In
// a moderated channel only voice, operator, channel admin or server admin is
// heard (his privileges in his current channel count).
bool CanSpeakInChannel(const TListenerContext& listener, const TClientRec& speaker, const TChannelRec& channel) {
  if (channel.Id != speaker.ChannelId && !listener.Server().IsClanServer()) {
    const TChannelRec* own = listener.Channels().GetChannelById(speaker.ChannelId);
    if (!own || (own->ParentId != channel.ParentId && own->ParentId != channel.Id)) return false;
  }
  if ((channel.Flags & cfModerated) == 0) return true;
  return (speaker.PlayerPrivileges & spSA) != 0 || (speaker.ChannelPrivileges & (cpCA | cpOP | cpV)) != 0;
}

// Voice counts from the end of the login until the departure is announced;
// after that the speaker is no longer in anybody's list.
bool MaySpeak(const TClientRec* speaker) { return speaker && speaker->LoginComplete && !speaker->Removing; }

bool HearsSpeaker(const TClientRec& recipient, uint32_t speakerId) {
  return (recipient.PlayerFlags & pfNoVoice) == 0 && !ClientInClientMuteList(&recipient, speakerId);
}

bool HearsWhisper(const TClientRec* recipient, uint32_t speakerId) {
  return recipient && recipient->LoginComplete && (recipient->PlayerFlags & pfBlockWhispers) == 0 &&
         HearsSpeaker(*recipient, speakerId);
}

// The header fields the client chose travel unchanged; the target byte and
// the recipient's ids are filled in per copy (RelayTo), and the packet
// buffer rewrites the connection id and sequence when it sends.
void BuildRelayedVoice(TListenerContext& ctx, const TPacket& in, size_t dataOffset, size_t dataLength,
                       uint32_t speakerId) {
  ctx.Relay().Copies.clear();
  TPacket& out = ctx.Relay().Image;
  out.SetSize(S2CVoiceHeader::Size + dataLength);
  out.SetU16(S2CVoiceHeader::Class, pcS2CVoice);
  out.SetU8(S2CVoiceHeader::Codec, in.VoiceCodec());
  out.SetU16(S2CVoiceHeader::Sequence, in.VoiceSequence());
  out.SetU16(S2CVoiceHeader::VoiceWord, in.GetU16(C2SVoiceHeader::VoiceWord));
  out.SetU32(S2CVoiceHeader::SpeakerId, speakerId);
  out.SetU16(S2CVoiceHeader::SpeakerSequence, in.VoiceSequence());
  if (dataLength > 0) std::memcpy(out.Data() + S2CVoiceHeader::Size, in.Data() + dataOffset, dataLength);
}

void RelayTo(TListenerContext& ctx, const TClientRec& recipient, uint8_t target) {
  ctx.Relay().Copies.push_back(TVoiceCopy{recipient.PlayerId, recipient.ConnectionId, target});
  TServerCounters::Add(ctx.Server().Counters.VoiceRelayed);
  TServerCounters::Add(ctx.Server().Counters.VoiceBytesRelayed, ctx.Relay().Image.Size());
}

void FlushRelayed(TListenerContext& ctx) {
  TVoiceRelayState& relay = ctx.Relay();
  try {
    const bool queued =
        ctx.Buffer().SendVoiceCopies(relay.Image, relay.Copies.data(), relay.Copies.size(), relay.Sender == nullptr);
    relay.SendPending = relay.SendPending || (queued && relay.Sender != nullptr);
  } catch (const std::exception& e) {
    ctx.LogError(fmt::format("SendPacket Exception: {}", ExceptionText(e)));
  }
  relay.Copies.clear();
}

void RelayToMembers(TListenerContext& ctx, const TChannelRec& channel, const TClientRec& speaker, uint8_t target) {
  for (const TClientRec* recipient : channel.Members) {
    if (recipient != &speaker && HearsSpeaker(*recipient, speaker.PlayerId)) RelayTo(ctx, *recipient, target);
  }
}

}  // namespace

// Target 0. A datagram cannot exceed the socket's receive size, so the cut
// only guards the copy; it is not logged.
int32_t ProgressVoiceData_SendVoiceDataToChannel(TListenerContext& ctx, TClientRec* speaker, TPacket& in) {
  if (!MaySpeak(speaker)) return 0;
  const TChannelRec* channel = ctx.Channels().GetChannelById(speaker->ChannelId);
  if (!channel || channel->Members.size() < 2 || !CanSpeakInChannel(ctx, *speaker, *channel)) return 0;
  const size_t length = std::min(in.Size() - C2SVoiceHeader::Size, kMaxCodecData);
  BuildRelayedVoice(ctx, in, C2SVoiceHeader::Size, length, speaker->PlayerId);
  RelayToMembers(ctx, *channel, *speaker, kTargetChannel);
  FlushRelayed(ctx);
  return 0;
}

// Target 2 reaches the parent channel and the speaker's own channel: whoever
// talks to his parent channel is still heard by those around him, as he
// would be on any other target. In a moderated own channel he needs his voice
// there too, so that the parent target is no way around moderation.
int32_t ProgressVoiceData_SendVoiceDataToParentChannel(TListenerContext& ctx, TClientRec* speaker, TPacket& in) {
  size_t length = in.Size() - C2SVoiceHeader::Size;
  if (length > kMaxCodecData) {
    length = kMaxCodecData;
    ctx.LogVoice("ProgressVoiceData_SendVoiceDataToParentChannel, invalid packet size");
  }
  const TChannelRec* own = ctx.Channels().GetChannelById(speaker->ChannelId);
  const TChannelRec* parent = own ? ctx.Channels().GetChannelById(own->ParentId) : nullptr;
  if (!parent) {
    // A client that keeps talking to a missing parent sends many datagrams
    // a second; one line per thousand keeps the log readable.
    if (ctx.Relay().ParentChannelMisses++ % 1000 == 0) {
      ctx.LogVoice("TQVUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to get parentchannel");
    }
    return 0;
  }
  if (!MaySpeak(speaker) || !CanSpeakInChannel(ctx, *speaker, *parent)) return 0;
  BuildRelayedVoice(ctx, in, C2SVoiceHeader::Size, length, speaker->PlayerId);
  RelayToMembers(ctx, *parent, *speaker, kTargetParent);
  if (CanSpeakInChannel(ctx, *speaker, *own)) RelayToMembers(ctx, *own, *speaker, kTargetParent);
  FlushRelayed(ctx);
  return 0;
}

// Target 1. Each recipient hears the whisper once per way he was named: as a
// player (target byte 1) and through his channel (target byte 0). A list
// that names the same player or channel again adds nothing, so one datagram
// never turns into more than two copies for anyone.
int32_t ProgressVoiceData_SendVoiceDataWhisper(TListenerContext& ctx, TClientRec* speaker, TPacket& in) {
  const size_t count = in.GetU8(WhisperLayout::Count);
  const size_t dataOffset = WhisperLayout::Entries + count * WhisperLayout::EntrySize;
  if (count == 0 || dataOffset > in.Size()) return 0;  // nobody named, or a list beyond the datagram
  size_t length = in.Size() - dataOffset;
  if (length > kMaxCodecData) {
    length = kMaxCodecData;
    ctx.LogVoice("ProgressVoiceData_SendVoiceDataWhisper, invalid packet size");
  }
  BuildRelayedVoice(ctx, in, dataOffset, length, speaker->PlayerId);

  std::array<uint64_t, 255> seen;  // kind and id of the entries handled so far
  size_t seenCount = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t at = WhisperLayout::Entries + i * WhisperLayout::EntrySize;
    const uint8_t kind = in.GetU8(at);
    const uint32_t id = in.GetU32(at + 1);
    if (kind != kWhisperToChannel && kind != kWhisperToPlayer) continue;
    const uint64_t key = static_cast<uint64_t>(kind) << 32 | id;
    if (std::find(seen.begin(), seen.begin() + seenCount, key) != seen.begin() + seenCount) continue;
    seen[seenCount++] = key;

    if (kind == kWhisperToPlayer) {
      if (id == speaker->PlayerId) continue;
      const TClientRec* recipient = ctx.Clients().GetClientByID(id);
      if (HearsWhisper(recipient, speaker->PlayerId)) RelayTo(ctx, *recipient, kWhisperToPlayer);
      continue;
    }
    const TChannelRec* channel = ctx.Channels().GetChannelById(static_cast<int32_t>(id));
    if (!channel || !CanSpeakInChannel(ctx, *speaker, *channel)) continue;
    for (const TClientRec* recipient : channel->Members) {
      if (recipient != speaker && HearsWhisper(recipient, speaker->PlayerId)) {
        RelayTo(ctx, *recipient, kWhisperToChannel);
      }
    }
  }
  FlushRelayed(ctx);
  return 0;
}

}  // namespace qv::voice
