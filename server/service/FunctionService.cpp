// The function server's answers: one JSON text in, one JSON text out.
#include "service/FunctionService.h"

#include "Log.h"
#include "NameValueList.h"
#include "cJSON.h"
#include "service/DialectWriter.h"
#include "store/DatabaseError.h"
#include "store/HospitalStore.h"

namespace {

constexpr std::string_view kDoctorCases = "getdoctorcases";
// Places named in one log line when values could not be sent exactly; the rest are counted.
constexpr std::size_t kNotedPlaces = 5;

std::string JoinNotes(const std::vector<std::string>& notes) {
  std::string joined;
  for (std::size_t i = 0; i < notes.size() && i < kNotedPlaces; ++i) {
    if (i > 0) joined += "; ";
    joined += notes[i];
  }
  if (notes.size() > kNotedPlaces) {
    joined += "; and " + std::to_string(notes.size() - kNotedPlaces) + " more values";
  }
  return joined;
}

void WriteFields(DialectWriter& answer, const FieldList& fields) {
  answer.Open("FieldList");
  for (const auto& [name, value] : fields) answer.Member(name, value);
  answer.Close();
}

}  // namespace

ServiceAnswer FunctionService::Finish(DialectWriter& answer, std::string failure) {
  notice_ = JoinNotes(answer.Notes());
  return {answer.Take(), std::move(failure)};
}

ServiceAnswer FunctionService::TextAnswer(std::string_view member, const std::string& message,
                                          std::string failure) {
  DialectWriter answer;
  answer.Open();
  answer.Member(member, message);
  answer.Close();
  return Finish(answer, std::move(failure));
}

ServiceAnswer FunctionService::ErrorAnswer(const std::string& message, std::string failure) {
  return TextAnswer("Error", message, failure.empty() ? message : std::move(failure));
}

ServiceAnswer FunctionService::Answer(std::string_view request) {
  notice_.clear();
  const cJSON document(request);
  const std::string command = document.GetValue("ServerCommand");
  if (command.empty()) return ErrorAnswer("No ServerCommand given.");
  if (!EqualsIgnoreCase(command, kDoctorCases))
    return ErrorAnswer("Unknown command " + Excerpt(command) + ".");
  const std::string doctor_seq = document.GetValue("DoctorSeq");
  if (gate_.Required()) {
    try {
      GateRefusal refusal;
      const auto owner = gate_.Admit(document.GetValue("Session"), refusal);
      if (owner) {
        if (auto other = SessionGate::DoctorRefusal(*owner, doctor_seq)) refusal = *other;
      }
      if (refusal.code != 0) return ErrorAnswer(refusal.error, "refused: " + refusal.error);
    } catch (const DatabaseError& error) {
      return ErrorAnswer("Database failure.", error.what());
    }
  }
  return DoctorCases(doctor_seq);
}

ServiceAnswer FunctionService::DoctorCases(const std::string& doctor_seq) {
  const auto seq = HospitalStore::ParseSeq(doctor_seq);
  if (!seq) return ErrorAnswer("Unknown physician " + Excerpt(doctor_seq) + ".");
  try {
    const auto physician = store_.FindPhysician(*seq);
    if (!physician || !physician->is_physician) {
      return ErrorAnswer("Unknown physician " + Excerpt(doctor_seq) + ".");
    }
    const std::vector<CaseEntry> cases = store_.OpenCases(*seq);
    if (cases.empty()) {
      return TextAnswer(
          "NoCases",
          "There are no discharges awaiting approval for " + physician->display_name + ".", {});
    }
    DialectWriter answer;
    answer.Open();
    answer.Open("CaseList");
    for (const auto& entry : cases) AddCase(answer, entry);
    answer.Close();
    answer.Close();
    return Finish(answer, {});
  } catch (const DatabaseError& error) {
    return ErrorAnswer("Database failure.", error.what());
  }
}

// Empty objects are left out: the dialect reads an empty object back as null, and no
// "NeedsList" reads as no needs.
void FunctionService::AddCase(DialectWriter& answer, const CaseEntry& entry) {
  answer.Open(entry.seq);
  WriteFields(answer, entry.fields);
  if (!entry.needs.empty()) {
    answer.Open("NeedsList");
    for (const auto& need : entry.needs) {
      answer.Open(need.seq);
      WriteFields(answer, need.fields);
      answer.Close();
    }
    answer.Close();
  }
  answer.Close();
}
