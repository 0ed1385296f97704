// Which cases the load run's clients have claimed and which approvals the server confirmed,
// shared by all clients.
#include "ApprovalLedger.h"

#include <algorithm>
#include <iterator>

bool ApprovalLedger::Claim(const std::string& seq) {
  const std::lock_guard lock(mutex_);
  return claimed_.insert(seq).second;
}

void ApprovalLedger::Confirm(const std::string& seq) {
  const std::lock_guard lock(mutex_);
  confirmed_.insert(seq);
}

void ApprovalLedger::Fail(const std::string& seq) {
  const std::lock_guard lock(mutex_);
  failed_.insert(seq);
  claimed_.erase(seq);
}

std::set<std::string> ApprovalLedger::Uncertain() const {
  const std::lock_guard lock(mutex_);
  std::set<std::string> uncertain;
  std::set_difference(failed_.begin(), failed_.end(), confirmed_.begin(), confirmed_.end(),
                      std::inserter(uncertain, uncertain.end()));
  return uncertain;
}

std::set<std::string> ApprovalLedger::Confirmed() const {
  const std::lock_guard lock(mutex_);
  return confirmed_;
}

std::vector<std::string> ApprovalLedger::Unconfirmed() const {
  const std::lock_guard lock(mutex_);
  std::vector<std::string> open;
  std::set_difference(claimed_.begin(), claimed_.end(), confirmed_.begin(), confirmed_.end(),
                      std::back_inserter(open));
  return open;
}
