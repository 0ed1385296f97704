// libFuzzer target: the function server answers any text with one JSON text that holds
// exactly one of "Error", "NoCases" and "CaseList", and a case list whose keys match its cases.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "DemoWorld.h"
#include "cJSON.h"
#include "service/FunctionService.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool IsAnswerKey(const std::string& key) {
  return key == "Error" || key == "NoCases" || key == "CaseList";
}

// Each case is keyed by its Seq, which its FieldList repeats.
void CheckCaseList(cJSON& case_list) {
  for (int i = 0; i < case_list.Count(); ++i) {
    cJSON* entry = case_list.ChildAt(i);
    Check(entry != nullptr);
    cJSON* fields = entry->FindChild("FieldList", false);
    Check(fields != nullptr);
    Check(fields->GetValue("Seq") == entry->Name());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  DemoWorld::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view request(reinterpret_cast<const char*>(data), size);
  request = request.substr(0, request.find('\0'));  // the session hands over the text up to its NUL
  FunctionService service(*DemoWorld::Get().Context().store);
  const ServiceAnswer answer = service.Answer(request);
  Check(!answer.text.empty());
  Check(answer.text.find('\0') == std::string::npos);
  cJSON document(answer.text);
  Check(document.Count() == 1);
  const std::string key = document.Items().KeyAt(0);
  Check(IsAnswerKey(key));
  if (key == "CaseList") {
    cJSON* case_list = document.FindChild("CaseList", false);
    Check(case_list != nullptr);
    CheckCaseList(*case_list);
  } else {
    Check(!document.GetValue(key).empty());
    Check(answer.failure.empty() == (key == "NoCases"));
  }
  return 0;
}
