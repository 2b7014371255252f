#include "protocol/ignored_addresses.h"

#include <iterator>

namespace qv {

TIgnoredAddresses::TIgnoredAddresses(const TIgnoreLimits& limits)
    : limits_(limits), counted_(limits.MaxCounted), ignored_(limits.MaxIgnored) {}

bool TIgnoredAddresses::Ignored(const std::string& ip, int64_t nowMs) {
  if (ignored_.Empty()) return false;
  ignored_.ExpireBefore(nowMs - limits_.IgnoreMs + 1);
  return ignored_.Find(ip) != nullptr;
}

bool TIgnoredAddresses::CountStray(const std::string& ip, int64_t nowMs) {
  counted_.ExpireBefore(nowMs - limits_.WindowMs + 1);
  TAgedTable::TEntry* entry = counted_.Find(ip);
  if (!entry) entry = &counted_.Add(ip, nowMs);
  if (++entry->Count < limits_.StrayLimit) return false;
  counted_.Remove(ip);
  if (ignored_.Find(ip)) return false;
  ignored_.Add(ip, nowMs);
  return true;
}

TIgnoredAddresses::TAgedTable::TEntry* TIgnoredAddresses::TAgedTable::Find(std::string_view ip) {
  auto it = index_.find(ip);
  return it == index_.end() ? nullptr : &*it->second;
}

TIgnoredAddresses::TAgedTable::TEntry& TIgnoredAddresses::TAgedTable::Add(const std::string& ip, int64_t nowMs) {
  if (!order_.empty() && index_.size() >= capacity_) Remove(order_.front().Ip);
  order_.push_back(TEntry{ip, nowMs, 0});
  auto last = std::prev(order_.end());
  index_.emplace(last->Ip, last);
  return *last;
}

void TIgnoredAddresses::TAgedTable::Remove(std::string_view ip) {
  auto it = index_.find(ip);
  if (it == index_.end()) return;
  auto entry = it->second;
  index_.erase(it);  // before its key's string goes
  order_.erase(entry);
}

void TIgnoredAddresses::TAgedTable::ExpireBefore(int64_t ms) {
  while (!order_.empty() && order_.front().SinceMs < ms) Remove(order_.front().Ip);
}

}  // namespace qv
