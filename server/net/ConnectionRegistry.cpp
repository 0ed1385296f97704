// Every open client connection, its deadline, and the watchdog that cuts off the late ones.
#include "net/ConnectionRegistry.h"

#include <sys/socket.h>

namespace {
// The watchdog's resolution: a late connection is cut off at most this much after its deadline.
constexpr auto kWatchInterval = std::chrono::milliseconds(100);
constexpr auto kNever = std::chrono::steady_clock::time_point::max();
}  // namespace

ConnectionTicket::~ConnectionTicket() {
  if (registry_ != nullptr) registry_->Remove(id_);
}

void ConnectionTicket::Arm(std::chrono::steady_clock::duration limit) {
  registry_->SetDeadline(id_, std::chrono::steady_clock::now() + limit);
}

void ConnectionTicket::Disarm() {
  registry_->SetDeadline(id_, kNever);
}

bool ConnectionTicket::TimedOut() const {
  return registry_->TimedOut(id_);
}

ConnectionRegistry::ConnectionRegistry(int capacity)
    : capacity_(static_cast<std::size_t>(capacity < 1 ? 1 : capacity)),
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

std::optional<ConnectionTicket> ConnectionRegistry::Add(int fd) {
  const std::lock_guard lock(mutex_);
  if (stopping_ || entries_.size() >= capacity_) return std::nullopt;
  const std::uint64_t id = next_id_++;
  entries_.emplace(id, Entry{fd, kNever});
  return ConnectionTicket(*this, id);
}

void ConnectionRegistry::Remove(std::uint64_t id) {
  {
    const std::lock_guard lock(mutex_);
    entries_.erase(id);
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
