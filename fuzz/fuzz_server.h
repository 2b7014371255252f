// What the voice targets share: a server without threads or socket (the
// listener harness of the tests) holding channels and logged-in players with
// connections, and the checks of its invariants after every input.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "fuzz_input.h"
#include "support/listener_harness.h"

namespace qv::fuzz {

inline constexpr uint32_t kPlayers = 3;

// Player ids 1..kPlayers are logged in with connections 1001.. from port
// 40001..; player 1 is a server admin. Channel 1 is the default, 2 a
// moderated one, 3 a sub-channel of 1. Everything runs on the fuzzer's one
// thread, so the model is read without its locks.
class TFuzzServer : public test::TListenerHarness {
 public:
  TFuzzServer() : TListenerHarness(1) {
    EditSettings([](TServerSettings& s) {
      s.Name = "Fuzz";
      s.MaxUsers = 8;
      s.AllowCodec = {};
      s.AllowCodec[codecSpeex2150] = true;
    });
    AddChannel(1, "Lobby", cfDefault | cfHierarchical, -1);
    AddChannel(2, "Moderated", cfModerated | cfUnregistered, -1);
    AddChannel(3, "Sub", 0, 1);
    for (uint32_t id = 1; id <= kPlayers; ++id) {
      auto rec = NewClient();
      rec->PlayerId = static_cast<uint32_t>(server.Clients->NextPlayerId());
      rec->ConnectionId = 1000 + rec->PlayerId;
      rec->NickName = "p" + std::to_string(rec->PlayerId);
      rec->LoginComplete = true;
      if (rec->PlayerId == 1) rec->PlayerPrivileges = spSA;
      rec->ChannelId = 1;
      buffer.AddConnection(rec->PlayerId, rec->ConnectionId, 1, static_cast<uint16_t>(40000 + rec->PlayerId),
                           "127.0.0.1");
      server.Channels->GetChannelById(1)->Members.push_back(rec.get());
      if (!server.Clients->AddClient(std::move(rec))) Broken("set-up: player not added");
    }
  }

  // Everything the server queued to send, dropped.
  void DrainOutgoing() {
    int64_t wait = 0;
    TPacketList sent;
    while (buffer.TryTakeOutgoing(sent, 64, wait) > 0) sent.clear();
  }

  // Players and channels agree: every member is a known player listed in
  // the channel he names, once; every logged-in player is in one channel;
  // sub-channels hang under top-level channels; one default channel at most.
  void CheckModel() const {
    std::map<uint32_t, int> memberships;
    int defaults = 0;
    for (const auto& c : server.Channels->Items()) {
      if (c->Flags & cfDefault) ++defaults;
      if (c->IsSubChannel()) {
        const TChannelRec* up = server.Channels->GetChannelById(c->ParentId);
        if (!up || up->IsSubChannel()) Broken("sub-channel without top-level parent", c->Id);
      }
      for (const TClientRec* m : c->Members) {
        ++memberships[m->PlayerId];
        if (server.Clients->GetClientByID(m->PlayerId) != m) Broken("channel lists a stranger", c->Id);
        if (m->ChannelId != c->Id) Broken("member names another channel", m->PlayerId);
      }
    }
    if (defaults > 1) Broken("more than one default channel", defaults);
    for (const auto& p : server.Clients->Items()) {
      if (memberships[p->PlayerId] > 1) Broken("player in two channels", p->PlayerId);
      if (!p->LoginComplete || p->Removing) continue;
      if (!server.Channels->GetChannelById(p->ChannelId)) Broken("player in no channel", p->PlayerId);
      if (memberships[p->PlayerId] != 1) Broken("player missing from his channel", p->PlayerId);
    }
    if (server.Clients->Count() > static_cast<int>(server.Clients->Items().size())) Broken("player count");
  }

 private:
  void AddChannel(int32_t id, const char* name, uint16_t flags, int32_t parent) {
    auto c = NewChannel();
    c->Id = id;
    c->Name = name;
    c->Flags = flags;
    c->ParentId = parent;
    c->MaxUsers = 8;
    if (server.Channels->AddChannelID(std::move(c)) != id) Broken("set-up: channel not added", id);
  }
};

}  // namespace qv::fuzz
