// A bounded set of SQLite connections shared by the connection threads.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Database.h"

class DatabasePool {
 public:
  // At most `capacity` connections to the file at `path`, opened as they are first needed.
  DatabasePool(std::string path, int capacity);
  DatabasePool(const DatabasePool&) = delete;
  DatabasePool& operator=(const DatabasePool&) = delete;

  // Borrows a connection; it goes back to the pool when the lease ends.
  class Lease {
   public:
    Lease(DatabasePool& pool, std::unique_ptr<Database> db) : pool_(&pool), db_(std::move(db)) {}
    ~Lease();
    Lease(Lease&& other) noexcept = default;
    Lease& operator=(Lease&&) = delete;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    Database& operator*() const { return *db_; }
    Database* operator->() const { return db_.get(); }

   private:
    DatabasePool* pool_;
    std::unique_ptr<Database> db_;
  };

  // Waits (bounded) while every connection is lent out; throws DatabaseError when the
  // wait runs out or a new connection cannot be opened.
  Lease Acquire();

 private:
  void GiveBack(std::unique_ptr<Database> db);

  std::string path_;
  int capacity_;
  int opened_ = 0;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<Database>> idle_;
};
