// The connection threads of a server: started by the accept loop, each one joined for sure.
#include "net/ThreadSet.h"

void ThreadSet::MarkFinished(std::uint64_t id) {
  const std::lock_guard lock(mutex_);
  finished_.push_back(id);
}

void ThreadSet::ReapFinished() {
  std::vector<std::thread> done;
  {
    const std::lock_guard lock(mutex_);
    for (const std::uint64_t id : finished_) {
      const auto found = running_.find(id);
      if (found == running_.end()) continue;
      done.push_back(std::move(found->second));
      running_.erase(found);
    }
    finished_.clear();
  }
  for (auto& thread : done) thread.join();
}

void ThreadSet::JoinAll() {
  std::map<std::uint64_t, std::thread> all;
  {
    const std::lock_guard lock(mutex_);
    all.swap(running_);
    finished_.clear();
  }
  for (auto& [id, thread] : all) thread.join();
}
