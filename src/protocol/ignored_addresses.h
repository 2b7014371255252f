// TIgnoredAddresses: addresses that send many datagrams naming no connection
// are ignored for a while.
//
// The packet buffer counts, per source IP address, the datagrams that name no
// connection it has (unknown player ids, a wrong connection id, invalid or
// unanswerable datagrams). An address that sends StrayLimit of them within
// WindowMs is ignored for IgnoreMs: the buffer drops what it sends before any
// further work, apart from datagrams of a connection that address owns.
// Ports do not count, so that one sender cannot spread over many of them.
//
// Both tables are bounded (a flood of forged addresses cannot grow them
// without end): a new address beyond the bound pushes out the one whose
// window, or whose ignoring, began first. While no address is ignored the
// check costs one comparison.
//
// Thread rules: none of its own; the packet buffer uses it under its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

namespace qv {

struct TIgnoreLimits {
  // A client whose connection the server dropped (a restart, a time-out)
  // goes on sending voice and pings with its old ids until it notices, for
  // up to 30 s at some 50 datagrams a second, and players behind one NAT
  // share an address: the limit leaves room for that. A flood or a search
  // for a connection's ids sends thousands a second.
  int StrayLimit = 1000;      // datagrams naming no connection ...
  int64_t WindowMs = 10'000;  // ... within this time ...
  int64_t IgnoreMs = 60'000;  // ... make the address ignored this long
  size_t MaxCounted = 4096;   // addresses counted at most
  size_t MaxIgnored = 1024;   // addresses ignored at most
};

class TIgnoredAddresses {
 public:
  explicit TIgnoredAddresses(const TIgnoreLimits& limits = {});
  const TIgnoreLimits& Limits() const { return limits_; }

  // Whether datagrams from ip are ignored at nowMs (a monotonic clock).
  bool Ignored(const std::string& ip, int64_t nowMs);
  // Counts one datagram from ip that named no connection; true when it made
  // the address ignored.
  bool CountStray(const std::string& ip, int64_t nowMs);

 private:
  // Addresses in the order their entries began, so that the expired and
  // the oldest are found at the front.
  class TAgedTable {
   public:
    struct TEntry {
      std::string Ip;
      int64_t SinceMs = 0;
      int Count = 0;
    };
    explicit TAgedTable(size_t capacity) : capacity_(capacity) {}
    bool Empty() const { return index_.empty(); }
    TEntry* Find(std::string_view ip);
    // A new entry at the back; the oldest gives way when the table is full.
    TEntry& Add(const std::string& ip, int64_t nowMs);
    void Remove(std::string_view ip);
    // Removes the entries that began before ms.
    void ExpireBefore(int64_t ms);

   private:
    size_t capacity_;
    std::list<TEntry> order_;
    std::unordered_map<std::string_view, std::list<TEntry>::iterator> index_;  // keys view order_'s Ip
  };

  const TIgnoreLimits limits_;
  TAgedTable counted_;
  TAgedTable ignored_;
};

}  // namespace qv
