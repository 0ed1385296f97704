// The data server's answers to framed requests, for one connection (it remembers the handshake).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "login/SessionTable.h"
#include "service/ClientFiles.h"
#include "service/ServiceAnswer.h"
#include "service/SessionGate.h"

class NameValueList;
struct ServiceContext;
struct TableLayout;

// "ErrorCode" values of refused updates, file requests and unknown requests.
namespace DataError {
constexpr int kHandshakeRequired = 1;
constexpr int kUnknownTable = 2;
constexpr int kUnknownRecord = 3;
constexpr int kUnknownField = 4;
constexpr int kStorageFailure = 5;
constexpr int kUnknownRequest = 6;
constexpr int kNoSuchFile = 7;
constexpr int kUnsendableDate = 8;
// Under --require-login: no session named, a session unknown or over, a case (or case list)
// that is not the session's physician's.
constexpr int kNoSession = 9;
constexpr int kSessionOver = 10;
constexpr int kNotOwnCase = 11;
}  // namespace DataError

// The program identifier whose handshake is accepted.
constexpr std::string_view kAcceptedProgram = "Pellomarquin";

class DataService {
 public:
  DataService(ServiceContext& context, std::string remote_ip);

  ServiceAnswer Handshake(std::string_view request);
  ServiceAnswer Date() const;
  ServiceAnswer TableQuery(std::string_view request);
  ServiceAnswer RecordUpdate(std::string_view request);
  ServiceAnswer FileInfo(std::string_view remote_name) const;
  // The file to download, or nothing with the closing answer of a refusal in `refusal`.
  std::optional<ClientFile> OpenDownload(std::string_view remote_name,
                                         ServiceAnswer& refusal) const;
  ServiceAnswer Unknown(int type, int subtype) const;

  bool Accepted() const { return accepted_; }
  // What the administrator should know about the request just served (usually nothing);
  // taking it empties it.
  std::string TakeNotice() { return std::exchange(notice_, {}); }

 private:
  // A "Personnel" query under --server-login: the record only for its right password.
  ServiceAnswer CheckedLogin(const TableLayout& table, const std::string& key,
                             const NameValueList& lines);
  // Under --require-login: the refusal of a request without a valid session, or of a case
  // that is not the session's physician's; nothing when it may go on. The "Session" lines
  // leave `lines`.
  std::optional<ServiceAnswer> SessionRefusal(NameValueList& lines, const TableLayout* table,
                                              const std::string& case_seq, bool query);
  // The file a client may download, or nothing with the refusal's code and reason.
  std::optional<ClientFile> OfferedFile(std::string_view remote_name, int& code,
                                        std::string& error) const;

  ServiceContext& context_;
  std::string remote_ip_;
  bool accepted_ = false;
  std::string notice_;
  SessionGate gate_;
  std::optional<SessionOwner> session_;
};
