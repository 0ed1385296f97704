// What a session admits under hospd --require-login, for both servers: which session a
// request names, and whose cases it may read and change.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "login/SessionTable.h"

class HospitalStore;
class Sessions;

// Why a request was not admitted: the "ErrorCode" (DataError) and the "Error" text.
struct GateRefusal {
  int code = 0;
  std::string error;
};

class SessionGate {
 public:
  // `sessions` null: no session is required and every request passes.
  SessionGate(Sessions* sessions, HospitalStore& store) : sessions_(sessions), store_(store) {}

  bool Required() const { return sessions_ != nullptr; }
  // The owner of the session `token` (empty: none given), or the refusal. Throws
  // DatabaseError.
  std::optional<SessionOwner> Admit(std::string_view token, GateRefusal& refusal);
  // Nothing when `case_seq` names a case of `owner`'s, otherwise the refusal; an unknown case
  // is refused alike, so that nobody learns which cases exist. Throws DatabaseError.
  std::optional<GateRefusal> CaseRefusal(const SessionOwner& owner, std::string_view case_seq);
  // The same for a physician's case list: only the session's own.
  static std::optional<GateRefusal> DoctorRefusal(const SessionOwner& owner,
                                                  std::string_view doctor_seq);

 private:
  Sessions* sessions_;
  HospitalStore& store_;
};
