// Which cases the load run's clients have claimed and which approvals the server confirmed,
// shared by all clients.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

class ApprovalLedger {
 public:
  // Claims the case for the caller's approval; false when some client claimed it before.
  bool Claim(const std::string& seq);
  // The server answered the approval with ErrorCode 0.
  void Confirm(const std::string& seq);
  // The approval failed without an answer: the server may or may not have recorded it. The
  // claim is given up, so that a client approves the case again, as a physician would.
  void Fail(const std::string& seq);
  // The confirmed cases at this moment.
  std::set<std::string> Confirmed() const;
  // Claimed cases whose approval was never confirmed.
  std::vector<std::string> Unconfirmed() const;
  // Cases whose approval failed and was never confirmed afterwards: recorded once or not at all.
  std::set<std::string> Uncertain() const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> claimed_;
  std::set<std::string> confirmed_;
  std::set<std::string> failed_;
};
