// What a query command handler takes, and the small tools every group of
// handlers uses to read its parameters and the state of a server.
//
// A handler takes the request (session, parameters, the server the table
// row's checks found) and returns the whole reply; see query_commands.h for
// the table that calls it.
//
// Thread rules: the connection's thread; ReadRows takes the storage lock,
// Live holds a running server's packet buffer for one command.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/script_storage.h"
#include "model/server_object.h"
#include "query/query_reply.h"
#include "query/query_session.h"
#include "voice/voice_runtime.h"

namespace qv {

struct TQueryRequest {
  TQuerySession& Session;
  std::vector<std::string> Params;
  TServerRef Server{};  // set by the "server selected" and ResolveServer checks
};

using THandler = TQueryReply (*)(TQueryRequest&);

inline constexpr const char* kQueryCategory = "TCPQUERY";  // the log category

std::string Num(int64_t value);
// The value rounded to the nearest whole number, in decimal.
std::string Rounded(double value);
// params[from..] joined by single blanks.
std::string JoinParams(const std::vector<std::string>& params, size_t from);
// A decimal number that fits an int32_t; nullopt otherwise.
std::optional<int32_t> ParseId(std::string_view text);

// The packet buffer of a looked-up server that still runs, held for this
// command (the server's stop waits for it); empty otherwise.
template <typename TRef>
TBufferLease Live(const TRef& server) {
  if (!server || !server->Clients || !server->Channels) return TBufferLease();
  return TBufferLease(*server);
}

// Runs a storage script under the storage lock; the rows, or nullptr for none.
template <typename TSetParams>
std::unique_ptr<TStorageContainer> ReadRows(const TScriptStorage& storage, const char* script, TSetParams setParams) {
  TStorageLock lock(*storage);
  if (!storage.Load(script)) return nullptr;
  setParams(*storage);
  return storage->OpenSQL();
}
std::unique_ptr<TStorageContainer> ReadRows(const TScriptStorage& storage, const char* script);

}  // namespace qv
