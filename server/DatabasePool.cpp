// A bounded set of SQLite connections shared by the connection threads.
#include "DatabasePool.h"

#include <chrono>

#include "DatabaseError.h"

namespace {
// Longer than SQLite's own busy timeout, so that a lease waits out one slow writer.
constexpr auto kAcquireLimit = std::chrono::seconds(10);
}  // namespace

DatabasePool::DatabasePool(std::string path, int capacity)
    : path_(std::move(path)), capacity_(capacity < 1 ? 1 : capacity) {}

DatabasePool::Lease::~Lease() {
  if (db_) pool_->GiveBack(std::move(db_));
}

DatabasePool::Lease DatabasePool::Acquire() {
  std::unique_lock lock(mutex_);
  const bool available = returned_.wait_for(
      lock, kAcquireLimit, [this] { return !idle_.empty() || opened_ < capacity_; });
  if (!available) throw DatabaseError("no database connection became free");
  if (!idle_.empty()) {
    auto db = std::move(idle_.back());
    idle_.pop_back();
    return Lease(*this, std::move(db));
  }
  ++opened_;
  lock.unlock();
  try {
    return Lease(*this, Database::Open(path_, false));
  } catch (...) {
    const std::lock_guard relock(mutex_);
    --opened_;
    returned_.notify_one();
    throw;
  }
}

void DatabasePool::GiveBack(std::unique_ptr<Database> db) {
  {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(db));
  }
  returned_.notify_one();
}
