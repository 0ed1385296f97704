// One simulated physician's client: connects as the real client does (TLS data server with
// the handshake, plain or TLS function server) and repeats login query, case list and
// approval, with the session a login's answer named.
#include "LoadClient.h"

#include <algorithm>
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

// The answer a server gives while its database is out of reach: a failure, not a wrong answer.
constexpr std::string_view kDatabaseFailure = "Database failure.";
constexpr int kStorageFailureCode = 5;

}  // namespace

void ServerTally::Merge(const ServerTally& other) {
  answered += other.answered;
  failed += other.failed;
  last_answer = std::max(last_answer, other.last_answer);
}

LoadClient::LoadClient(const std::vector<ServerAddress>& servers, std::size_t first_server,
                       Login login, ApprovalLedger& ledger, unsigned seed,
                       Clock::time_point started, const ClientOptions& options)
    : servers_(servers),
      server_(first_server % servers.size()),
      started_(started),
      login_(std::move(login)),
      ledger_(ledger),
      random_(seed | 1u),
      options_(options),
      tallies_(servers.size()) {}

template <typename Request>
bool LoadClient::Timed(RequestKind kind, Request request) {
  const auto begun = Clock::now();
  const bool ok = request();
  const auto ended = Clock::now();
  latencies_.Add(kind, ended - begun, ok);
  ServerTally& tally = tallies_[server_];
  if (ok) {
    ++tally.answered;
    tally.last_answer = std::chrono::duration<double>(ended - started_).count();
  } else {
    ++tally.failed;
  }
  return ok;
}

LoadClient::~LoadClient() = default;

void LoadClient::Run(const std::atomic<bool>& stop) {
  while (!stop) {
    if (!Connect()) {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(50));  // a refused connection is retried
      continue;
    }
    for (int round = 0; round < kRoundsPerConnection && !stop; ++round) {
      const bool logged_in = options_.login_once && !doctor_seq_.empty();
      if (!logged_in && !QueryLogin()) break;
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
  const ServerAddress& address = servers_[server_];
  const bool data_up = Timed(RequestKind::Handshake, [&] {
    data_ = std::make_unique<dbServerConnection>(address.host, address.data_port, "Pellomarquin",
                                                 "", true, kAnswerSeconds);
    return data_->IsConnected();
  });
  const bool function_up = Timed(RequestKind::FunctionConnect, [&] {
    function_ = std::make_unique<dbServerConnection>(address.host, address.function_port, "", "",
                                                     options_.function_tls, kAnswerSeconds,
                                                     options_.function_identity);
    return function_->IsConnected();
  });
  data_->Session = session_;
  function_->Session = session_;
  if (!data_up || !function_up) server_ = (server_ + 1) % servers_.size();
  return data_up && function_up;
}

// The login's query: the physician's record, with the password and the mark checked.
bool LoadClient::QueryLogin() {
  NameValueList record;
  NameValueList password_line;
  if (options_.send_password) password_line.Add("Password=" + login_.password);
  const bool ok = Timed(RequestKind::PersonnelQuery, [&] {
    return data_->QueryTable("Personnel", 4, login_.email, "", record, "", "", password_line);
  });
  if (!ok) {
    // A failure may say "Error: ...", never that the physician does not exist.
    if (record.Count() == 1 && record[0] == "~") Problem("no Personnel record for " + login_.email);
    return false;
  }
  if (record.Count() < kPersonnelFields || !EqualsIgnoreCase(record[0], login_.email) ||
      record[kPasswordField] != login_.password ||
      !EqualsIgnoreCase(record[kPhysicianMarkField], "Y")) {
    Problem("wrong Personnel record for " + login_.email + ": " + record.CommaText().substr(0, 80));
    return false;
  }
  doctor_seq_ = record[kSeqField];
  session_.clear();
  for (int i = kPersonnelFields; i < record.Count(); ++i) {
    if (record.NameAt(i) == "Session") session_ = record.ValueAt(i);
  }
  data_->Session = session_;
  function_->Session = session_;
  return true;
}

// The physician's open cases; none that the server had confirmed as approved before asking.
std::vector<std::string> LoadClient::ListCases() {
  const std::set<std::string> confirmed = ledger_.Confirmed();
  cJSON request;
  request.SetValue("ServerCommand", "getdoctorcases");
  request.SetValue("DoctorSeq", doctor_seq_);
  if (!session_.empty()) request.SetValue("Session", session_);
  std::string error;
  const bool ok = Timed(RequestKind::DoctorCases, [&] {
    if (!function_->ExchangeText(request.GetText())) return false;
    error = cJSON(function_->AnswerText).GetValue("Error");
    return error.empty();
  });
  if (!ok) {
    if (!error.empty() && error != kDatabaseFailure) {
      Problem("getdoctorcases for " + doctor_seq_ + " answered " + error);
    }
    return {};
  }
  cJSON answer(function_->AnswerText);
  std::vector<std::string> listed;
  if (cJSON* cases = answer.FindChild("CaseList", false)) {
    for (int i = 0; i < cases->Count(); ++i) {
      const std::string seq = cases->Items().KeyAt(i);
      if (confirmed.count(seq) != 0) Problem("case " + seq + " listed after its approval");
      listed.push_back(seq);
      seen_.insert(seq);
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
    if (SendApproval(seq, RequestKind::Approval)) {
      ledger_.Confirm(seq);
    } else {
      ledger_.Fail(seq);
    }
    return;
  }
  std::set<std::string> confirmed = ledger_.Confirmed();
  // A session may change only its own physician's cases: those this client has seen listed.
  if (!session_.empty())
    std::erase_if(confirmed, [this](const auto& seq) { return !seen_.count(seq); });
  if (confirmed.empty()) return;
  random_ = random_ * 1103515245u + 12345u;
  auto pick = confirmed.begin();
  std::advance(pick, (random_ >> 8) % confirmed.size());
  SendApproval(*pick, RequestKind::RepeatApproval);
}

bool LoadClient::SendApproval(const std::string& seq, RequestKind kind) {
  NameValueList fields;
  fields.SetValue("f25", "Y");
  const bool ok = Timed(kind, [&] { return data_->UpdateRecord("Cases", seq, fields); });
  // Refusals other than a database failure are wrong answers; lost answers are failures.
  if (!ok && data_->Connected && data_->ErrorCode != kStorageFailureCode) {
    Problem(std::string(KindName(kind)) + " of case " + seq + " refused: " + data_->AnswerText);
  }
  return ok;
}

void LoadClient::Problem(std::string text) {
  if (problems_.size() < kProblemsKept) problems_.push_back(std::move(text));
}
