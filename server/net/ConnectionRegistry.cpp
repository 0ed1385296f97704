// Every open client connection, its deadline, and the watchdog that cuts off the late ones.
#include "net/ConnectionRegistry.h"

#include <sys/socket.h>

#include <algorithm>

namespace {
// The watchdog's resolution: a late connection is cut off at most this much after its deadline.
constexpr auto kWatchInterval = std::chrono::milliseconds(100);
constexpr auto kNever = std::chrono::steady_clock::time_point::max();

int PortIndex(ServerPort port) { return port == ServerPort::Data ? 0 : 1; }

ConnectionLimits Sane(ConnectionLimits limits) {
  limits.total = std::max(limits.total, 1);
  limits.per_address = std::max(limits.per_address, 1);
  return limits;
}

}  // namespace

ConnectionTicket::~ConnectionTicket() {
  if (registry_ != nullptr) registry_->Remove(id_);
}

void ConnectionTicket::Arm(std::chrono::steady_clock::duration limit) {
  registry_->SetDeadline(id_, std::chrono::steady_clock::now() + limit);
}

void ConnectionTicket::Disarm() { registry_->SetDeadline(id_, kNever); }

bool ConnectionTicket::TimedOut() const { return registry_->TimedOut(id_); }

// Three quarters, not a half: a client's two connections are not always both open (each ends
// after the idle limit and is opened again when needed), and some tools use one server alone.
ConnectionRegistry::ConnectionRegistry(ConnectionLimits limits)
    : limits_(Sane(limits)),
      server_share_(std::max(limits_.total * 3 / 4, 1)),
      watchdog_([this] { Watch(); }) {}

ConnectionRegistry::~ConnectionRegistry() {
  ShutdownAll();
  {
    const std::lock_guard lock(mutex_);
    watchdog_stop_ = true;
  }
  changed_.notify_all();
  watchdog_.join();
}

Admission ConnectionRegistry::Add(int fd, const std::string& address, ServerPort port) {
  const std::lock_guard lock(mutex_);
  if (const Refusal refusal = Check(address, port); refusal != Refusal::None) {
    return {std::nullopt, refusal};
  }
  const std::uint64_t id = next_id_++;
  entries_.emplace(id, Entry{fd, address, port, kNever});
  ++per_address_[address];
  ++per_port_[PortIndex(port)];
  return {ConnectionTicket(*this, id), Refusal::None};
}

Refusal ConnectionRegistry::Check(const std::string& address, ServerPort port) const {
  if (stopping_) return Refusal::Stopping;
  if (entries_.size() >= static_cast<std::size_t>(limits_.total)) return Refusal::Full;
  if (per_port_[PortIndex(port)] >= server_share_) return Refusal::ServerFull;
  const auto found = per_address_.find(address);
  if (found != per_address_.end() && found->second >= limits_.per_address) {
    return Refusal::AddressFull;
  }
  return Refusal::None;
}

void ConnectionRegistry::Remove(std::uint64_t id) {
  {
    const std::lock_guard lock(mutex_);
    const auto found = entries_.find(id);
    if (found == entries_.end()) return;
    const auto address = per_address_.find(found->second.address);
    if (address != per_address_.end() && --address->second == 0) per_address_.erase(address);
    --per_port_[PortIndex(found->second.port)];
    entries_.erase(found);
  }
  changed_.notify_all();
}

void ConnectionRegistry::SetDeadline(std::uint64_t id,
                                     std::chrono::steady_clock::time_point deadline) {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(id);
  if (found != entries_.end() && !found->second.timed_out) found->second.deadline = deadline;
}

bool ConnectionRegistry::TimedOut(std::uint64_t id) {
  const std::lock_guard lock(mutex_);
  const auto found = entries_.find(id);
  return found != entries_.end() && found->second.timed_out;
}

void ConnectionRegistry::ShutdownAll() {
  const std::lock_guard lock(mutex_);
  stopping_ = true;
  // Shutting down (not closing) wakes a thread blocked on the socket without freeing its number.
  for (auto& [id, entry] : entries_) ::shutdown(entry.fd, SHUT_RDWR);
}

bool ConnectionRegistry::WaitUntilEmpty(std::chrono::steady_clock::duration limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [this] { return entries_.empty(); });
}

int ConnectionRegistry::Count() {
  const std::lock_guard lock(mutex_);
  return static_cast<int>(entries_.size());
}

void ConnectionRegistry::Watch() {
  std::unique_lock lock(mutex_);
  while (!watchdog_stop_) {
    changed_.wait_for(lock, kWatchInterval);
    ShutDownLate(std::chrono::steady_clock::now());
  }
}

void ConnectionRegistry::ShutDownLate(std::chrono::steady_clock::time_point now) {
  for (auto& [id, entry] : entries_) {
    if (entry.deadline > now) continue;
    entry.timed_out = true;
    entry.deadline = kNever;
    ::shutdown(entry.fd, SHUT_RDWR);
  }
}
