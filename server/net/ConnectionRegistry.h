// Every open client connection, its deadline, and the watchdog that cuts off the late ones.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

class ConnectionRegistry;

// A registered connection. Ending the ticket unregisters it; the owner must end the ticket
// before closing the descriptor, so that the watchdog never shuts down a reused number.
class ConnectionTicket {
 public:
  ConnectionTicket(ConnectionRegistry& registry, std::uint64_t id)
      : registry_(&registry), id_(id) {}
  ~ConnectionTicket();
  ConnectionTicket(ConnectionTicket&& other) noexcept : registry_(other.registry_), id_(other.id_) {
    other.registry_ = nullptr;
  }
  ConnectionTicket& operator=(ConnectionTicket&&) = delete;
  ConnectionTicket(const ConnectionTicket&) = delete;
  ConnectionTicket& operator=(const ConnectionTicket&) = delete;

  // The connection must finish its current step within `limit`, or it is shut down.
  void Arm(std::chrono::steady_clock::duration limit);
  void Disarm();
  // True once the watchdog has shut the connection down for being late.
  bool TimedOut() const;

 private:
  ConnectionRegistry* registry_;
  std::uint64_t id_;
};

class ConnectionRegistry {
 public:
  explicit ConnectionRegistry(int capacity);
  ~ConnectionRegistry();  // shuts everything down and stops the watchdog
  ConnectionRegistry(const ConnectionRegistry&) = delete;
  ConnectionRegistry& operator=(const ConnectionRegistry&) = delete;

  // Registers an accepted socket; nothing when the registry is full or stopping.
  std::optional<ConnectionTicket> Add(int fd);
  // Stops taking connections and shuts every open one down, waking its thread.
  void ShutdownAll();
  // Waits until every ticket has ended; false when `limit` passes first.
  bool WaitUntilEmpty(std::chrono::steady_clock::duration limit);
  int Count();

 private:
  friend class ConnectionTicket;
  struct Entry {
    int fd;
    std::chrono::steady_clock::time_point deadline;  // max() when disarmed
    bool timed_out = false;
  };

  void Remove(std::uint64_t id);
  void SetDeadline(std::uint64_t id, std::chrono::steady_clock::time_point deadline);
  bool TimedOut(std::uint64_t id);
  void Watch();
  void ShutDownLate(std::chrono::steady_clock::time_point now);

  const std::size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::uint64_t, Entry> entries_;
  std::uint64_t next_id_ = 1;
  bool stopping_ = false;
  bool watchdog_stop_ = false;
  std::thread watchdog_;
};
