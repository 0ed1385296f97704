// One simulated physician's client: connects as the real client does (TLS data server with
// the handshake, plain function server) and repeats login query, case list and approval.
#include "LoadClient.h"

#include <chrono>
#include <iterator>
#include <set>
#include <thread>
#include <utility>

#include "ApprovalLedger.h"
#include "NameValueList.h"
#include "cJSON.h"
#include "dbServerConnection.h"

namespace {

using Clock = std::chrono::steady_clock;

// A server that stops answering fails the request instead of holding the run for ever.
constexpr int kAnswerSeconds = 30;
// Each connection serves this many rounds before the client connects (and shakes hands) anew.
constexpr int kRoundsPerConnection = 20;
constexpr std::size_t kProblemsKept = 20;
constexpr int kPersonnelFields = 28;
constexpr int kSeqField = 1;
constexpr int kPasswordField = 23;
constexpr int kPhysicianMarkField = 27;

template <typename Request>
bool Timed(LatencyTable& table, RequestKind kind, Request request) {
  const auto started = Clock::now();
  const bool ok = request();
  table.Add(kind, Clock::now() - started, ok);
  return ok;
}

}  // namespace

LoadClient::LoadClient(const ServerAddress& address, Login login, ApprovalLedger& ledger,
                       unsigned seed)
    : address_(address), login_(std::move(login)), ledger_(ledger), random_(seed | 1u) {}

LoadClient::~LoadClient() = default;

void LoadClient::Run(const std::atomic<bool>& stop) {
  while (!stop) {
    if (!Connect()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a refused connection is retried
      continue;
    }
    for (int round = 0; round < kRoundsPerConnection && !stop; ++round) {
      if (!QueryLogin()) break;
      const std::vector<std::string> listed = ListCases();
      if (!stop) Approve(listed);
    }
  }
  data_.reset();
  function_.reset();
}

bool LoadClient::Connect() {
  data_.reset();
  function_.reset();
  const bool data_up = Timed(latencies_, RequestKind::Handshake, [this] {
    data_ = std::make_unique<dbServerConnection>(address_.host, address_.data_port, "Pellomarquin",
                                                 "", true, kAnswerSeconds);
    return data_->IsConnected();
  });
  const bool function_up = Timed(latencies_, RequestKind::FunctionConnect, [this] {
    function_ = std::make_unique<dbServerConnection>(address_.host, address_.function_port, "", "",
                                                     false, kAnswerSeconds);
    return function_->IsConnected();
  });
  return data_up && function_up;
}

// The login's query: the physician's record, with the password and the mark checked.
bool LoadClient::QueryLogin() {
  NameValueList record;
  const bool ok = Timed(latencies_, RequestKind::PersonnelQuery, [&] {
    return data_->QueryTable("Personnel", 4, login_.email, "", record, "", "");
  });
  if (!ok) return false;
  if (record.Count() < kPersonnelFields || !EqualsIgnoreCase(record[0], login_.email) ||
      record[kPasswordField] != login_.password ||
      !EqualsIgnoreCase(record[kPhysicianMarkField], "Y")) {
    Problem("wrong Personnel record for " + login_.email + ": " + record.CommaText().substr(0, 80));
    return false;
  }
  doctor_seq_ = record[kSeqField];
  return true;
}

// The physician's open cases; none that the server had confirmed as approved before asking.
std::vector<std::string> LoadClient::ListCases() {
  const std::set<std::string> confirmed = ledger_.Confirmed();
  cJSON request;
  request.SetValue("ServerCommand", "getdoctorcases");
  request.SetValue("DoctorSeq", doctor_seq_);
  const bool ok = Timed(latencies_, RequestKind::DoctorCases,
                        [&] { return function_->ExchangeText(request.GetText()); });
  if (!ok) return {};
  cJSON answer(function_->AnswerText);
  if (!answer.GetValue("Error").empty()) {
    Problem("getdoctorcases for " + doctor_seq_ + " answered " + answer.GetValue("Error"));
    return {};
  }
  std::vector<std::string> listed;
  if (cJSON* cases = answer.FindChild("CaseList", false)) {
    for (int i = 0; i < cases->Count(); ++i) {
      const std::string seq = cases->Items().KeyAt(i);
      if (confirmed.count(seq) != 0) Problem("case " + seq + " listed after its approval");
      listed.push_back(seq);
    }
  } else if (answer.GetValue("NoCases").empty()) {
    Problem("getdoctorcases answered " + function_->AnswerText.substr(0, 80));
  }
  return listed;
}

// Approves the first listed case that no client has claimed yet; without one, repeats an
// approval the server has confirmed, which must change nothing.
void LoadClient::Approve(const std::vector<std::string>& listed) {
  for (const std::string& seq : listed) {
    if (!ledger_.Claim(seq)) continue;
    if (SendApproval(seq, RequestKind::Approval)) ledger_.Confirm(seq);
    return;
  }
  const std::set<std::string> confirmed = ledger_.Confirmed();
  if (confirmed.empty()) return;
  random_ = random_ * 1103515245u + 12345u;
  auto pick = confirmed.begin();
  std::advance(pick, (random_ >> 8) % confirmed.size());
  SendApproval(*pick, RequestKind::RepeatApproval);
}

bool LoadClient::SendApproval(const std::string& seq, RequestKind kind) {
  NameValueList fields;
  fields.SetValue("f25", "Y");
  const bool ok = Timed(latencies_, kind, [&] { return data_->UpdateRecord("Cases", seq, fields); });
  if (!ok) Problem(std::string(KindName(kind)) + " of case " + seq + " failed: " + data_->AnswerText);
  return ok;
}

void LoadClient::Problem(std::string text) {
  if (problems_.size() < kProblemsKept) problems_.push_back(std::move(text));
}
