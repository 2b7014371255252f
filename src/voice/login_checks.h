// TLoginChecks: the account checks of one server's voice logins, on their way
// to the password pool's workers and back to the protocol thread.
//
// A voice login that names an account reads the account and compares its
// password hash (tens of milliseconds) on a worker of TPasswordCheckPool,
// while the protocol thread goes on with everybody else's voice and commands.
// The worker queues the check's end here and wakes the listener
// (TCustomPacketBuffer::WakeListener); the protocol thread then runs the rest
// of that login (RunFinished) between two events, under the player-list and
// channel-tree locks, like any handler.
//
// Ownership and thread rules: the listener's context and every check in
// flight share the object, so that a worker never finds it freed. Close (the
// context's end, before the packet buffer goes) waits for the checks that
// are in the middle of their work and turns every later end into a no-op:
// after Close no worker touches the buffer or the storage. Pending, Start,
// RunFinished and Close run on the protocol thread (Close on its owner once
// the thread has ended); the rest on workers, under mutex_ (a leaf before
// the packet buffer's lock).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/password_check_pool.h"
#include "protocol/packet_buffer.h"

namespace qv {

class TListenerContext;

class TLoginChecks : public std::enable_shared_from_this<TLoginChecks> {
 public:
  // The check on a worker: its storage reads and the comparison through
  // verify. Not run at all when the pool refuses it or the server stops.
  using TCheck = TPasswordCheckPool::TWork;
  // The rest of the login, on the protocol thread, with the check's result
  // (pcBusy when the pool refused it).
  using TFinish = std::function<void(TListenerContext&, TPasswordCheck)>;

  explicit TLoginChecks(TCustomPacketBuffer& buffer) : buffer_(buffer) {}
  TLoginChecks(const TLoginChecks&) = delete;
  TLoginChecks& operator=(const TLoginChecks&) = delete;

  // Whether the login from ip:port waits for its check; how many from ip do.
  bool Pending(const std::string& ip, uint16_t port) const { return pending_.count({ip, port}) != 0; }
  int PendingFrom(const std::string& ip) const;
  // Submits check to pool for the login from ip:port; finish runs once it ended.
  void Start(TPasswordCheckPool& pool, const std::string& ip, uint16_t port, TCheck check, TFinish finish);
  // Runs the finish of every check that has ended (cheap when none has).
  void RunFinished(TListenerContext& ctx);
  // Waits for checks in the middle of their work; drops every end from now on.
  void Close();

 private:
  using TAddress = std::pair<std::string, uint16_t>;
  struct TEnded {
    TAddress From;
    TFinish Finish;
    TPasswordCheck Result = pcBusy;
  };
  bool EnterWork();
  void LeaveWork();
  void Ended(TEnded ended);

  TCustomPacketBuffer& buffer_;
  std::set<TAddress> pending_;  // protocol thread only
  TMutex mutex_;
  std::condition_variable_any idle_;
  bool closed_ GUARDED_BY(mutex_) = false;
  int working_ GUARDED_BY(mutex_) = 0;
  std::vector<TEnded> ended_ GUARDED_BY(mutex_);
  std::atomic<bool> anyEnded_{false};
};

}  // namespace qv
