// Types shared by the virtual-server model, the listener and the
// administration interfaces: the bit sets kept in player and channel records,
// the codec numbering, the server type bits, and a length-capped text.
//
// Bit values travel on the wire and are stored; never renumber them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/codecs.h"

namespace qv {

// Channel privileges (TClientRec::ChannelPrivileges, TChannelAttrib::Flags).
// The protocol names a privilege by its bit number (cpCA is index 0).
enum : uint16_t {
  cpCA = 0x01,      // channel admin (stored)
  cpOP = 0x02,      // channel operator (only for the stay in the channel)
  cpV = 0x04,       // voice in a moderated channel (only for the stay)
  cpAutoOP = 0x08,  // operator on every join (stored)
  cpAutoV = 0x10,   // voice on every join (stored)
};

// Server-wide player privileges (TClientRec::PlayerPrivileges).
enum : uint16_t {
  spSA = 0x01,                   // server admin
  spAllowRegistration = 0x02,    // may register an account for himself
  spRegistered = 0x04,           // logged in with a stored account
  spSuperAdmin = 0x08,           // superadmin session (query and web only)
  spCB = 0x10,                   // bound to his channel
};

// Player flags (TClientRec::PlayerFlags). The client owns the word; these
// bits mean something to the server, all others are relayed unchanged.
enum : uint16_t {
  pfChannelCommander = 0x01,
  pfRequestVoice = 0x02,
  pfBlockWhispers = 0x04,
  pfNoVoice = 0x20,
};

// Channel flags (TChannelRec::Flags).
enum : uint16_t {
  cfUnregistered = 0x01,  // not kept in storage
  cfModerated = 0x02,
  cfPassword = 0x04,      // derived: set exactly when the password is not empty
  cfHierarchical = 0x08,  // may hold sub-channels
  cfDefault = 0x10,       // where players land at login
};

// Server type bits (the server object's ServerFlags).
enum : uint16_t {
  sfClan = 0x01,
  sfPublic = 0x02,
  sfFreeware = 0x04,
};

// Name and password texts are at most 29 characters everywhere; welcome
// messages and URLs at most 255.
constexpr size_t kShortTextMax = 29;
constexpr size_t kLongTextMax = 255;

// A text that never holds more than N characters: anything longer is cut to
// its first N characters when assigned, as fixed-size wire and record fields
// require.
template <size_t N>
class TShortString {
 public:
  TShortString() = default;
  TShortString(std::string_view s) : value_(s.substr(0, N)) {}  // NOLINT: implicit on purpose
  TShortString(const char* s) : TShortString(std::string_view(s)) {}
  TShortString(const std::string& s) : TShortString(std::string_view(s)) {}

  TShortString& operator=(std::string_view s) {
    value_.assign(s.substr(0, N));
    return *this;
  }
  TShortString& operator=(const char* s) { return *this = std::string_view(s); }
  TShortString& operator=(const std::string& s) { return *this = std::string_view(s); }

  const std::string& str() const { return value_; }
  const char* c_str() const { return value_.c_str(); }
  operator const std::string&() const { return value_; }
  operator std::string_view() const { return value_; }
  bool empty() const { return value_.empty(); }
  size_t size() const { return value_.size(); }
  void clear() { value_.clear(); }

  friend bool operator==(const TShortString& a, const TShortString& b) { return a.value_ == b.value_; }
  friend bool operator==(const TShortString& a, std::string_view b) { return a.value_ == b; }

 private:
  std::string value_;
};

using TText29 = TShortString<kShortTextMax>;
using TText255 = TShortString<kLongTextMax>;

}  // namespace qv
