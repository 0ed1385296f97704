// What a session admits under hospd --require-login, for both servers: which session a
// request names, and whose cases it may read and change.
#include "service/SessionGate.h"

#include "login/Sessions.h"
#include "service/DataService.h"
#include "store/HospitalStore.h"

namespace {

// Position of "DoctorSeq" in a "Cases" record.
constexpr std::size_t kDoctorSeqColumn = 1;

}  // namespace

std::optional<SessionOwner> SessionGate::Admit(std::string_view token, GateRefusal& refusal) {
  if (!sessions_) return SessionOwner{};
  if (token.empty()) {
    refusal = {DataError::kNoSession, "No session: log in first."};
    return std::nullopt;
  }
  auto owner = sessions_->Find(token);
  if (!owner) refusal = {DataError::kSessionOver, "The session has ended: log in again."};
  return owner;
}

std::optional<GateRefusal> SessionGate::CaseRefusal(const SessionOwner& owner,
                                                    std::string_view case_seq) {
  if (!sessions_) return std::nullopt;
  const auto record = store_.Record(CasesTable(), case_seq);
  if (record && (*record)[kDoctorSeqColumn] == std::to_string(owner.staff_seq)) {
    return std::nullopt;
  }
  return GateRefusal{DataError::kNotOwnCase, "Not a case of the logged-in physician."};
}

std::optional<GateRefusal> SessionGate::DoctorRefusal(const SessionOwner& owner,
                                                      std::string_view doctor_seq) {
  if (doctor_seq == std::to_string(owner.staff_seq)) return std::nullopt;
  return GateRefusal{DataError::kNotOwnCase, "Not the case list of the logged-in physician."};
}
