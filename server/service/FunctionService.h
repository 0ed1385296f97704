// The function server's answers: one JSON text in, one JSON text out.
#pragma once

#include <string>
#include <string_view>

#include "service/ServiceAnswer.h"
#include "service/SessionGate.h"

class DialectWriter;
class HospitalStore;
class Sessions;
struct CaseEntry;

class FunctionService {
 public:
  // With `sessions` (--require-login), a request must name the session of the physician
  // whose cases it asks for.
  explicit FunctionService(HospitalStore& store, Sessions* sessions = nullptr)
      : store_(store), gate_(sessions, store) {}

  // "getdoctorcases" with "DoctorSeq" answers "CaseList", or "NoCases" when the physician
  // has none open; anything else answers "Error".
  ServiceAnswer Answer(std::string_view request);
  // Where the last answer had to send characters as "?" (the dialect cannot carry them),
  // for the log; empty when every value went out exactly.
  const std::string& Notice() const { return notice_; }

 private:
  ServiceAnswer DoctorCases(const std::string& doctor_seq);
  static void AddCase(DialectWriter& answer, const CaseEntry& entry);
  ServiceAnswer Finish(DialectWriter& answer, std::string failure);
  ServiceAnswer TextAnswer(std::string_view member, const std::string& message,
                           std::string failure);
  ServiceAnswer ErrorAnswer(const std::string& message, std::string failure = {});

  HospitalStore& store_;
  SessionGate gate_;
  std::string notice_;
};
