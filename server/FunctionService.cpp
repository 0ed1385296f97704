// The function server's answers: one JSON text in, one JSON text out.
#include "FunctionService.h"

#include "DatabaseError.h"
#include "HospitalStore.h"
#include "Log.h"
#include "NameValueList.h"
#include "cJSON.h"

namespace {

constexpr std::string_view kDoctorCases = "getdoctorcases";

ServiceAnswer TextAnswer(std::string_view member, const std::string& message, std::string failure) {
  cJSON answer;
  answer.SetValue(member, FunctionService::StringValue(message));
  return {answer.GetText(), std::move(failure)};
}

ServiceAnswer ErrorAnswer(const std::string& message, std::string failure = {}) {
  return TextAnswer("Error", message, failure.empty() ? message : std::move(failure));
}

// Empty objects are left out throughout: the dialect reads an empty object back as null.
void SetFields(cJSON& node, const FieldList& fields) {
  cJSON* list = node.GetChild("FieldList");
  for (const auto& [name, value] : fields)
    list->SetValue(name, FunctionService::StringValue(value));
}

}  // namespace

std::string FunctionService::StringValue(std::string_view text) {
  // Quoted, the writer keeps it a string; doubled backslashes survive the reader's collapsing.
  std::string value = "\"";
  for (const char c : text) {
    if (c == '\\') value += '\\';
    value += c;
  }
  value += '"';
  return value;
}

ServiceAnswer FunctionService::Answer(std::string_view request) {
  const cJSON document(request);
  const std::string command = document.GetValue("ServerCommand");
  // Messages hold no double quote: the dialect would hand it back with a backslash.
  if (command.empty()) return ErrorAnswer("No ServerCommand given.");
  if (!EqualsIgnoreCase(command, kDoctorCases))
    return ErrorAnswer("Unknown command " + Excerpt(command) + ".");
  return DoctorCases(document.GetValue("DoctorSeq"));
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
    cJSON answer;
    cJSON* case_list = answer.GetChild("CaseList");
    for (const auto& entry : cases) AddCase(*case_list, entry);
    return {answer.GetText(), {}};
  } catch (const DatabaseError& error) {
    return ErrorAnswer("Database failure.", error.what());
  }
}

void FunctionService::AddCase(cJSON& case_list, const CaseEntry& entry) {
  cJSON* node = case_list.GetChild(entry.seq);
  SetFields(*node, entry.fields);
  if (entry.needs.empty()) return;  // no "NeedsList" reads as no needs
  cJSON* needs = node->GetChild("NeedsList");
  for (const auto& need : entry.needs) SetFields(*needs->GetChild(need.seq), need.fields);
}
