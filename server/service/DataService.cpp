// The data server's answers to framed requests, for one connection (it remembers the handshake).
#include "service/DataService.h"

#include <algorithm>
#include <chrono>

#include "Log.h"
#include "NameValueList.h"
#include "login/PasswordHash.h"
#include "service/DayCountDate.h"
#include "service/ServiceContext.h"
#include "store/DatabaseError.h"
#include "store/HospitalStore.h"

namespace {

constexpr std::string_view kRecordList = "4";

// A table query's refusal: one line beginning with "Error:", quoted because it holds a space.
ServiceAnswer QueryError(const std::string& message, std::string failure = {}) {
  NameValueList answer;
  answer.Add("Error: " + message);
  return {answer.CommaText(), failure.empty() ? message : std::move(failure)};
}

ServiceAnswer CodedError(int code, const std::string& message, std::string failure = {}) {
  NameValueList answer;
  answer.SetValue("ErrorCode", std::to_string(code));
  answer.SetValue("Error", message);
  return {answer.CommaText(), failure.empty() ? message : std::move(failure)};
}

std::string Seconds(std::chrono::milliseconds time) {
  const auto tenths = (time.count() + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

// Where the stored password stands in the table's records.
std::size_t PasswordColumn(const TableLayout& table) {
  const auto& columns = table.record_columns;
  return static_cast<std::size_t>(std::find(columns.begin(), columns.end(), "Password") -
                                  columns.begin());
}

std::string HandshakeRequired() { return "Handshake required."; }

// The field lines of an update: every line but the first "TableName" and "Seq" lines.
// Nothing when a line has no "=": it names no value, and guessing an empty one could reopen
// an approved case.
std::optional<FieldList> UpdateFields(const NameValueList& request, std::string& bad_line) {
  FieldList fields;
  bool table_seen = false;
  bool seq_seen = false;
  for (int i = 0; i < request.Count(); ++i) {
    const std::string name = request.NameAt(i);
    if (!table_seen && EqualsIgnoreCase(name, "TableName")) {
      table_seen = true;
    } else if (!seq_seen && EqualsIgnoreCase(name, "Seq")) {
      seq_seen = true;
    } else if (request[i].find('=') == std::string::npos) {
      bad_line = request[i];
      return std::nullopt;
    } else {
      fields.emplace_back(name, request.ValueAt(i));
    }
  }
  return fields;
}

ServiceAnswer UpdateOutcome(const UpdateResult& result, const TableLayout& table,
                            const std::string& seq) {
  switch (result.status) {
    case UpdateStatus::Done:
      return {"ErrorCode=0", {}};
    case UpdateStatus::UnknownRecord:
      return CodedError(DataError::kUnknownRecord,
                        "No record " + std::string(table.name) + " Seq=" + Excerpt(seq) + ".");
    case UpdateStatus::UnknownField:
      return CodedError(DataError::kUnknownField, "Unknown field " + Excerpt(result.detail) +
                                                      " of " + std::string(table.name) + ".");
    case UpdateStatus::NoFields:
      return CodedError(DataError::kUnknownField, "No fields to set.");
  }
  return CodedError(DataError::kStorageFailure, "Update failed.");
}

}  // namespace

DataService::DataService(ServiceContext& context, std::string remote_ip)
    : context_(context),
      remote_ip_(std::move(remote_ip)),
      gate_(context.sessions.get(), *context.store) {}

ServiceAnswer DataService::Handshake(std::string_view request) {
  NameValueList lines;
  lines.SetCommaText(request);
  const std::string program = lines.Value("ProgramID");
  accepted_ = program == kAcceptedProgram;
  NameValueList answer;
  answer.SetValue("Date", DayCountDateText(std::chrono::system_clock::now()));
  answer.SetValue("RunningFolder", context_.data_dir.string());
  answer.SetValue("RemoteIP", remote_ip_);
  answer.SetValue("Accepted", accepted_ ? "Y" : "N");
  if (accepted_) return {answer.CommaText(), {}};
  const std::string message = "Unknown program " + Excerpt(program) + ".";
  answer.SetValue("Error", message);
  return {answer.CommaText(), message};
}

ServiceAnswer DataService::Date() const {
  NameValueList answer;
  answer.SetValue("Date", DayCountDateText(std::chrono::system_clock::now()));
  return {answer.CommaText(), {}};
}

ServiceAnswer DataService::TableQuery(std::string_view request) {
  if (!accepted_) return QueryError(HandshakeRequired());
  NameValueList lines;
  lines.SetCommaText(request);
  const std::string table_name = lines.Value("TableName");
  const TableLayout* table = FindTable(table_name);
  if (table == nullptr) return QueryError("Unknown table " + Excerpt(table_name) + ".");
  const std::string list = lines.Value("List");
  if (list != kRecordList) {
    return QueryError("Unknown list " + Excerpt(list) + " of table " + std::string(table->name) +
                      ".");
  }
  const std::string key = lines.Value("Key");
  if (key.empty()) return QueryError("No key given.");
  try {
    if (context_.server_login && table == &PersonnelTable()) {
      return CheckedLogin(*table, key, lines);
    }
    if (auto refusal = SessionRefusal(lines, table, key, true)) return *refusal;
    const auto record = context_.store->Record(*table, key);
    if (!record) return {"~", "no " + std::string(table->name) + " record for " + Excerpt(key)};
    if (table == &PersonnelTable() && IsPasswordHash((*record)[PasswordColumn(*table)])) {
      return {"~", "Personnel record for " + Excerpt(key) +
                       " answered as unknown: it holds a password hash, which only a server "
                       "with --server-login may check"};
    }
    NameValueList answer;
    for (const auto& value : *record) answer.Add(value);
    return {answer.CommaText(), {}};
  } catch (const DatabaseError& error) {
    return QueryError("Database failure.", error.what());
  }
}

// The answer is "~" for a wrong or missing password as for an unknown address, and takes
// the same time, so that it tells nobody which addresses exist. The stored password never
// leaves the server: a right one is answered with what was typed in its place, which is
// what the client compares. The attempt counts as a failure from its admission on, so that
// guesses sent at once on many connections cannot all be judged before any has failed.
ServiceAnswer DataService::CheckedLogin(const TableLayout& table, const std::string& key,
                                        const NameValueList& lines) {
  LoginThrottle& throttle = *context_.throttle;
  const LoginThrottle::Attempt attempt = throttle.Admit(key, remote_ip_);
  std::string waited;
  if (attempt.delay.count() > 0) {
    waited = "; throttled: answered after " + Seconds(attempt.delay) + " (" +
             std::to_string(attempt.pair_failures) + " recent failures of the address from " +
             "the client, " + std::to_string(attempt.address_failures) + " from the client, " +
             std::to_string(attempt.account_failures) + " of the address from all clients)";
    if (!throttle.Wait(attempt.delay)) {
      return {"~", "login for " + Excerpt(key) + " not checked: the server is stopping"};
    }
  }
  const int password_line = lines.IndexOfName("Password");
  std::optional<std::string> typed;
  if (password_line >= 0) typed = lines.ValueAt(password_line);
  auto record = context_.store->Record(table, key);
  const std::size_t column = PasswordColumn(table);
  std::optional<std::string> stored;
  if (record) stored = (*record)[column];
  if (!LoginPasswordMatches(typed, stored)) {
    const char* why = !record ? "unknown address" : !typed ? "no password given" : "wrong password";
    return {"~", "login refused for " + Excerpt(key) + ": " + why + waited};
  }
  throttle.Succeeded(attempt);
  (*record)[column] = *typed;
  NameValueList answer;
  for (const auto& value : *record) answer.Add(value);
  if (context_.sessions) {
    // The session belongs to the record's Seq (position 1) and e-mail address (position 0).
    const auto seq = HospitalStore::ParseSeq((*record)[1]);
    answer.Add("Session=" + context_.sessions->Open({seq.value_or(0), (*record)[0]}));
  }
  if (!waited.empty()) notice_ = "login of " + Excerpt(key) + waited;
  return {answer.CommaText(), {}};
}

ServiceAnswer DataService::RecordUpdate(std::string_view request) {
  if (!accepted_) return CodedError(DataError::kHandshakeRequired, HandshakeRequired());
  NameValueList lines;
  lines.SetCommaText(request);
  const std::string table_name = lines.Value("TableName");
  const TableLayout* table = FindTable(table_name);
  if (table == nullptr || table->updatable_columns.empty()) {
    return CodedError(DataError::kUnknownTable,
                      "Table " + Excerpt(table_name) + " cannot be updated.");
  }
  const std::string seq = lines.Value("Seq");
  try {
    if (auto refusal = SessionRefusal(lines, table, seq, false)) return *refusal;
  } catch (const DatabaseError& error) {
    return CodedError(DataError::kStorageFailure, "Database failure.", error.what());
  }
  std::string bad_line;
  const auto fields = UpdateFields(lines, bad_line);
  if (!fields) {
    return CodedError(DataError::kUnknownField, "Field line without value: " + Excerpt(bad_line));
  }
  try {
    // The session's member of staff signs for the approval in the audit trail.
    const UpdateResult result = context_.store->Update(
        *table, seq, *fields,
        Approver{.staff = session_ ? session_->email : std::string(), .address = remote_ip_});
    return UpdateOutcome(result, *table, seq);
  } catch (const DatabaseError& error) {
    return CodedError(DataError::kStorageFailure, "Database failure.", error.what());
  }
}

std::optional<ServiceAnswer> DataService::SessionRefusal(NameValueList& lines,
                                                         const TableLayout* table,
                                                         const std::string& case_seq, bool query) {
  session_.reset();
  if (!gate_.Required()) return std::nullopt;
  std::string token;
  for (int i = lines.IndexOfName("Session"); i >= 0; i = lines.IndexOfName("Session")) {
    token = lines.ValueAt(i);
    lines.Delete(i);
  }
  GateRefusal refusal;
  session_ = gate_.Admit(token, refusal);
  if (session_ && table == &CasesTable()) {
    if (auto other = gate_.CaseRefusal(*session_, case_seq)) refusal = std::move(*other);
  }
  if (refusal.code == 0) return std::nullopt;
  session_.reset();
  const std::string failure = "refused: " + refusal.error;
  if (!query) return CodedError(refusal.code, refusal.error, failure);
  // A query's refusal keeps its "Error:" line, which clients read as a failed query.
  NameValueList answer;
  answer.Add("Error: " + refusal.error);
  answer.SetValue("ErrorCode", std::to_string(refusal.code));
  return ServiceAnswer{answer.CommaText(), failure};
}

std::optional<ClientFile> DataService::OfferedFile(std::string_view remote_name, int& code,
                                                   std::string& error) const {
  if (!accepted_) {
    code = DataError::kHandshakeRequired;
    error = HandshakeRequired();
    return std::nullopt;
  }
  auto file = context_.files.Open(remote_name, error);
  if (!file) {
    code = DataError::kNoSuchFile;
    return std::nullopt;
  }
  // The packed date has no zero of its own: FileDate=0 would read as "no file", and the
  // client would never update without anyone knowing why.
  if (file->packed_date == 0) {
    code = DataError::kUnsendableDate;
    error = "Date of " + Excerpt(remote_name) +
            " cannot be sent: the packed file date holds only 1980 to 2107 (local time).";
    return std::nullopt;
  }
  return file;
}

ServiceAnswer DataService::FileInfo(std::string_view remote_name) const {
  NameValueList answer;
  int code = 0;
  std::string error;
  if (const auto file = OfferedFile(remote_name, code, error)) {
    answer.SetValue("FileSize", std::to_string(file->size));
    answer.SetValue("FileDate", std::to_string(file->packed_date));
    return {answer.CommaText(), {}};
  }
  answer.SetValue("FileSize", "0");
  answer.SetValue("FileDate", "0");
  answer.SetValue("ErrorCode", std::to_string(code));
  answer.SetValue("Error", error);
  // Every client asks at its start; with no build published, that is the normal state and
  // no failure worth a log line.
  const bool nothing_published =
      code == DataError::kNoSuchFile && error.rfind("No such file", 0) == 0;
  return {answer.CommaText(), nothing_published ? std::string() : error};
}

std::optional<ClientFile> DataService::OpenDownload(std::string_view remote_name,
                                                    ServiceAnswer& refusal) const {
  int code = 0;
  std::string error;
  auto file = OfferedFile(remote_name, code, error);
  if (!file) refusal = CodedError(code, error);
  return file;
}

ServiceAnswer DataService::Unknown(int type, int subtype) const {
  return CodedError(DataError::kUnknownRequest, "Unknown request " + std::to_string(type) + "/" +
                                                    std::to_string(subtype) + ".");
}
