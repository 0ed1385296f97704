// The client's link to one server: connection and handshake, framed requests and bare
// text exchanges, file transfer and table requests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "NameValueList.h"
#include "PlainSocket.h"
#include "ServerIdentity.h"
#include "dbUserInterface.h"

constexpr int MESSAGE_BUFFER_SIZE = 50000;
constexpr int MAX_FRAME_TEXT = 49989;  // text length + 1; the frame is then 50,001 bytes
// The most one answer may hold by default: 100,000 cases take about 51 MB.
constexpr std::size_t MAX_ANSWER_SIZE = std::size_t{128} << 20;
// `ErrorCode` of an answer whose "ErrorCode" is there but is no whole number in the signed
// 32-bit range: not 0, so such an answer never counts as done.
constexpr std::int32_t UNREADABLE_ERROR_CODE = INT32_MIN;

class dbServerConnection {
 public:
  // Stores the values and connects at once; never fails (ask IsConnected afterwards).
  // `identity` is what a secure connection demands of the server's certificate; the default
  // demands nothing.
  dbServerConnection(std::string host, std::string port, std::string program_id, std::string key,
                     bool secure, int answer_timeout, ServerIdentity identity = {});
  ~dbServerConnection();
  dbServerConnection(const dbServerConnection&) = delete;
  dbServerConnection& operator=(const dbServerConnection&) = delete;

  bool Connect();
  bool IsConnected();
  bool EnsureConnected();
  bool Reconnect();

  bool SendFrame(int type, int subtype, const std::string& text);
  bool ReadAnswer();
  bool SendMessage(int type, int subtype, const std::string& text);
  bool ExchangeText(const std::string& text);

  // The file's packed date, or 0; sets FileSize.
  std::int32_t GetFileInfo(const std::string& remote_name);
  bool GetFile(const std::string& remote_name, const std::string& local_path,
               dbProgressBar* progress);
  // The same, but a file the server announces as larger than `max_size` bytes is not taken:
  // nothing of it stays on disk and the connection is opened anew for the next request.
  bool GetFile(const std::string& remote_name, const std::string& local_path,
               dbProgressBar* progress, std::int32_t max_size);

  bool QueryTable(std::string table_name, int list, const std::string& key,
                  const std::string& owner, NameValueList& result, const std::string& alias_list,
                  const std::string& alias_fields);
  // The same query with `extra_lines` added after the lines above, each as given (the
  // login's "Password=" line for a server that checks passwords itself).
  bool QueryTable(std::string table_name, int list, const std::string& key,
                  const std::string& owner, NameValueList& result, const std::string& alias_list,
                  const std::string& alias_fields, const NameValueList& extra_lines);
  bool UpdateRecord(std::string table_name, const std::string& sequence,
                    const NameValueList& fields);

  static void DebugLog(const std::string& message);
  static bool DebugLogEnabled;  // off; nothing in the program turns it on
  // Where DebugLog appends its lines.
  static std::string DebugLogPath();

  // Makes the transport for Connect; tests put in sockets that fail in ways a real one
  // cannot be made to. Unset: a SecureSocket or a PlainSocket, as `Secure` says.
  static std::unique_ptr<PlainSocket> (*SocketMaker)(bool secure);

  // The configured port text as a number: 8700 when it is not a whole number in 1..65535.
  static int PortNumber(const std::string& port);
  // A configured "Timeout" text as seconds: a whole number of at least 1, otherwise -1 (no limit).
  static int TimeoutSetting(const std::string& text);
  // "The data server did not answer within 20 seconds." (the function server for a
  // connection without a program's handshake), with AnswerTimeout as the number: the user's
  // report of a wait that ran out.
  std::string TimeoutText() const;

  // An answer longer than this fails its request and closes the connection, so a server
  // that never ends its answer cannot use up the memory. MAX_ANSWER_SIZE unless a test
  // lowers it.
  static std::size_t MaxAnswerSize;

  // Fields, in order.
  std::unique_ptr<PlainSocket> Socket;
  char MessageBuffer[MESSAGE_BUFFER_SIZE + 1] = {};
  std::string Host;
  std::string Port;
  std::string Key;
  std::string ProgramID;
  bool Secure = false;
  double ServerDate = 0;
  std::string RunningFolder;
  std::int32_t AnswerTimeout = -1;
  bool Connected = false;
  NameValueList RequestList;
  std::int32_t ErrorCode = 0;
  std::string Error;
  std::string AnswerText;
  NameValueList AnswerList;
  std::string RemoteIP;
  std::int32_t FileSize = 0;
  // The last request (or connect) failed because the server sent nothing for AnswerTimeout
  // seconds. Every wait of the connection has that limit: connect, TLS handshake, answers
  // and downloads; it starts again whenever bytes arrive.
  bool TimedOut = false;

  // Beyond the fields above, for tools that explain a failure (hospctl): why a request,
  // exchange, download or connection failed on this side of the server's verdict. The
  // first reason since the caller last emptied it stays; the program itself never reads it.
  std::string FailureReason;
  // The text of the handshake answer (1/0), which the date request that may follow it
  // replaces in AnswerText and AnswerList.
  std::string HandshakeAnswer;

  // Demanded of the server's certificate at every Connect of a secure connection.
  ServerIdentity Identity;
  // The last attempt to open the transport failed because the server's identity could not
  // be verified (not because it could not be reached).
  bool IdentityRefused = false;
  // The session a login's answer gave ("Session=" after the record); when set, every table
  // query and update carries it as one more line "Session=...". Empty: nothing is added.
  std::string Session;

 private:
  bool MakeSocket();
  bool OpenTransport();
  void Drain();
  bool Handshake();
  bool RequestServerDate();
  bool ReceiveFile(int fd, std::int32_t size, dbProgressBar* progress);
  void NoticePeerClose();
  bool TakeAnswerChunk(std::string_view chunk);
  bool DropAnswer(const std::string& why);
  void DropConnection();
  bool StopTransfer(const std::string& why);
  std::string StoppedAfter(std::int32_t received, std::int32_t size) const;
  bool NoteFailure(const std::string& why);

  // The waits on the server, all in slices (see KeepWaiting).
  void StartWait();
  bool KeepWaiting();
  bool AwaitBuffered(const std::function<bool()>& enough);
  int ReadAnswerChunk();
  int ReadFileBytes(int count);
  // Runs the user interface's pending events; requests made by them meanwhile are refused.
  void HandleEventsGuarded();
  // A request made while this connection lets the user interface handle events, or after
  // the program began to close: it must not touch the connection.
  bool Refused() const;

  std::chrono::steady_clock::time_point WaitDeadline;
  bool HandlingEvents = false;
  // True while Connect runs the handshake: a failure then ends Connect instead of
  // re-connecting from inside it, which could nest without end.
  bool Handshaking = false;
};
