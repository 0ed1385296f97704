// The connection threads of a server: started by the accept loop, each one joined for sure.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// Threads are joined rather than detached, so that none is still running (even in its
// thread-local clean-up) when the server's shared state goes away.
class ThreadSet {
 public:
  ThreadSet() = default;
  ~ThreadSet() { JoinAll(); }
  ThreadSet(const ThreadSet&) = delete;
  ThreadSet& operator=(const ThreadSet&) = delete;

  // Runs `body` on a new thread; throws std::system_error when no thread can be made, in
  // which case `body` is destroyed unrun. `body` must not throw.
  template <typename Body>
  void Start(Body body) {
    const std::lock_guard lock(mutex_);
    const std::uint64_t id = next_id_++;
    running_.emplace(id, std::thread([this, id, work = std::move(body)]() mutable {
                       work();
                       MarkFinished(id);
                     }));
  }

  // Joins the threads that have finished their work.
  void ReapFinished();
  void JoinAll();

 private:
  void MarkFinished(std::uint64_t id);

  std::mutex mutex_;
  std::map<std::uint64_t, std::thread> running_;
  std::vector<std::uint64_t> finished_;
  std::uint64_t next_id_ = 1;
};
