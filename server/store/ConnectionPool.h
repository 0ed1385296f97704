// A bounded set of database connections shared by the connection threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "store/DatabaseError.h"

// How a pool is used, for monitoring.
struct PoolUsage {
  int in_use = 0;
  int capacity = 0;
  std::uint64_t waits = 0;          // leases that found every connection lent out
  std::uint64_t wait_timeouts = 0;  // and of those, the ones that gave up
};

template <typename Connection>
class ConnectionPool {
 public:
  using Opener = std::function<std::unique_ptr<Connection>()>;

  // At most `capacity` connections made by `open` (which throws DatabaseError), opened as
  // they are first needed; a lease waits at most `wait_limit` for one to come back.
  ConnectionPool(Opener open, int capacity, std::chrono::milliseconds wait_limit)
      : open_(std::move(open)), capacity_(capacity < 1 ? 1 : capacity), wait_limit_(wait_limit) {}
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Borrows a connection; it goes back to the pool when the lease ends.
  class Lease {
   public:
    Lease(ConnectionPool& pool, std::unique_ptr<Connection> db, bool fresh)
        : pool_(&pool), db_(std::move(db)), fresh_(fresh) {}
    ~Lease() {
      if (db_) pool_->GiveBack(std::move(db_));
    }
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    Connection& operator*() const { return *db_; }
    Connection* operator->() const { return db_.get(); }
    // Opened for this lease rather than taken from the idle ones.
    bool Fresh() const { return fresh_; }
    // The connection is broken: it is closed instead of going back, and so are the idle
    // ones, which whatever broke this one (a database restart) has most likely broken too.
    void Discard() {
      if (db_) pool_->Drop(std::move(db_));
    }

   private:
    ConnectionPool* pool_;
    std::unique_ptr<Connection> db_;
    bool fresh_;
  };

  // Waits (bounded) while every connection is lent out; throws DatabaseError when the
  // wait runs out or a new connection cannot be opened.
  Lease Acquire() {
    std::unique_lock lock(mutex_);
    const auto free = [this] { return !idle_.empty() || opened_ < capacity_; };
    if (!free()) ++waits_;
    const bool available = returned_.wait_for(lock, wait_limit_, free);
    if (!available) {
      ++wait_timeouts_;
      throw DatabaseError("no database connection became free");
    }
    if (!idle_.empty()) {
      auto db = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(db), false);
    }
    ++opened_;
    lock.unlock();
    try {
      return Lease(*this, open_(), true);
    } catch (...) {
      const std::lock_guard relock(mutex_);
      --opened_;
      returned_.notify_one();
      throw;
    }
  }

  int Capacity() const { return capacity_; }
  PoolUsage Usage() const {
    const std::lock_guard lock(mutex_);
    return {opened_ - static_cast<int>(idle_.size()), capacity_, waits_, wait_timeouts_};
  }

 private:
  void GiveBack(std::unique_ptr<Connection> db) {
    {
      const std::lock_guard lock(mutex_);
      idle_.push_back(std::move(db));
    }
    returned_.notify_one();
  }

  void Drop(std::unique_ptr<Connection> db) {
    std::vector<std::unique_ptr<Connection>> closing;
    {
      const std::lock_guard lock(mutex_);
      closing.swap(idle_);
      opened_ -= static_cast<int>(closing.size()) + 1;
    }
    returned_.notify_all();
    db.reset();  // closed outside the lock: closing may wait on the network
    closing.clear();
  }

  Opener open_;
  int capacity_;
  std::chrono::milliseconds wait_limit_;
  int opened_ = 0;
  std::uint64_t waits_ = 0;
  std::uint64_t wait_timeouts_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<Connection>> idle_;
};
