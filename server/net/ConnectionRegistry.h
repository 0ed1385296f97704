// Every open client connection, its deadline, and the watchdog that cuts off the late ones.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class ConnectionRegistry;

// Which of the two servers a connection is for; each has its own share of the connections.
enum class ServerPort { Data, Function };

// How many connections are served at once: in all, and from one client address over both
// servers. Each server may hold three quarters of `total`, so that a flood on one leaves a
// quarter for the other.
struct ConnectionLimits {
  int total = 512;
  int per_address = 32;
};

// Why a connection was not registered.
enum class Refusal { None, Stopping, Full, ServerFull, AddressFull };

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

// A connection's registration: its ticket, or nothing with the reason.
struct Admission {
  std::optional<ConnectionTicket> ticket;
  Refusal refusal = Refusal::None;
};

class ConnectionRegistry {
 public:
  explicit ConnectionRegistry(ConnectionLimits limits);
  ~ConnectionRegistry();  // shuts everything down and stops the watchdog
  ConnectionRegistry(const ConnectionRegistry&) = delete;
  ConnectionRegistry& operator=(const ConnectionRegistry&) = delete;

  // Registers a socket accepted from `address` on `port`, unless that would pass a limit or
  // the registry is stopping.
  Admission Add(int fd, const std::string& address, ServerPort port);
  const ConnectionLimits& Limits() const { return limits_; }
  // The most connections one server may hold.
  int ServerShare() const { return server_share_; }
  // Stops taking connections and shuts every open one down, waking its thread.
  void ShutdownAll();
  // Waits until every ticket has ended; false when `limit` passes first.
  bool WaitUntilEmpty(std::chrono::steady_clock::duration limit);
  int Count();

 private:
  friend class ConnectionTicket;
  struct Entry {
    int fd;
    std::string address;
    ServerPort port;
    std::chrono::steady_clock::time_point deadline;  // max() when disarmed
    bool timed_out = false;
  };

  void Remove(std::uint64_t id);
  void SetDeadline(std::uint64_t id, std::chrono::steady_clock::time_point deadline);
  bool TimedOut(std::uint64_t id);
  void Watch();
  void ShutDownLate(std::chrono::steady_clock::time_point now);

  Refusal Check(const std::string& address, ServerPort port) const;

  const ConnectionLimits limits_;
  const int server_share_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::uint64_t, Entry> entries_;
  std::map<std::string, int> per_address_;  // only addresses with open connections
  int per_port_[2] = {0, 0};
  std::uint64_t next_id_ = 1;
  bool stopping_ = false;
  bool watchdog_stop_ = false;
  std::thread watchdog_;
};
