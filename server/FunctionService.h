// The function server's answers: one JSON text in, one JSON text out.
#pragma once

#include <string>
#include <string_view>

#include "ServiceAnswer.h"

class HospitalStore;
class cJSON;
struct CaseEntry;

class FunctionService {
 public:
  explicit FunctionService(HospitalStore& store) : store_(store) {}

  // "getdoctorcases" with "DoctorSeq" answers "CaseList", or "NoCases" when the physician
  // has none open; anything else answers "Error".
  ServiceAnswer Answer(std::string_view request);

  // `text` as a value that the JSON writer sends as exactly this string, whatever it holds.
  static std::string StringValue(std::string_view text);

 private:
  ServiceAnswer DoctorCases(const std::string& doctor_seq);
  static void AddCase(cJSON& case_list, const CaseEntry& entry);

  HospitalStore& store_;
};
