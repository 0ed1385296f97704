// The client's link to one server: connection and handshake, framed requests and bare
// text exchanges, file transfer and table requests.
#include "dbServerConnection.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <new>
#include <string_view>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "DataFrame.h"
#include "FileDate.h"
#include "FileIO.h"
#include "ScopedSignalBlock.h"
#include "SecureSocket.h"
#include "UniqueFd.h"

bool dbServerConnection::DebugLogEnabled = false;
std::unique_ptr<PlainSocket> (*dbServerConnection::SocketMaker)(bool secure) = nullptr;
std::size_t dbServerConnection::MaxAnswerSize = MAX_ANSWER_SIZE;

namespace {

constexpr int kDefaultPort = 8700;
constexpr int kFrameHeader = static_cast<int>(kFrameHeaderSize);
constexpr int kDrainChunk = 100;
constexpr int kFileHeader = static_cast<int>(kDownloadHeaderSize);

constexpr int kLogAttempts = 20;
constexpr auto kLogPause = std::chrono::milliseconds(100);

// The three results of a send or read that mean the transport failed.
bool IsSocketFailure(int result) {
  return result == SOCK_ERROR || result == SOCK_TIMEOUT || result == SOCK_DISCONNECTED;
}

// Drops codes 0 to 32 at both ends, as the shared "trim" does.
std::string_view Trimmed(std::string_view text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// A decimal whole number with an optional sign and nothing else, or `fallback`.
long long WholeNumber(std::string_view text, long long fallback) {
  text = Trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return fallback;
  return value;
}

std::int32_t Int32OrZero(std::string_view text) {
  long long value = WholeNumber(text, 0);
  return (value < INT32_MIN || value > INT32_MAX) ? 0 : static_cast<std::int32_t>(value);
}

// "ErrorCode" of an answer: 0 when the answer has none. One that is there but is no whole
// number in the signed 32-bit range must not read as 0, which would make a refusal look done.
std::int32_t AnswerErrorCode(const NameValueList& answer) {
  const std::string text = answer.Value("ErrorCode");
  if (text.empty()) return 0;
  long long value = WholeNumber(text, LLONG_MIN);
  return (value < INT32_MIN || value > INT32_MAX) ? UNREADABLE_ERROR_CODE
                                                  : static_cast<std::int32_t>(value);
}

// Packed dates from 2044 on use the top bit, so the number may exceed a signed 32-bit
// value; the bits are kept as they are.
std::int32_t PackedDateOrZero(std::string_view text) {
  long long value = WholeNumber(text, 0);
  return (value < INT32_MIN || value > UINT32_MAX)
             ? 0
             : static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

// A decimal floating-point date; anything that is not a finite number gives 0.
double DateNumber(std::string_view text) {
  text = Trimmed(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(value)) {
    return 0;
  }
  return value;
}

std::string SystemError(int error) { return std::strerror(error); }

// "hh:nn:ss:zzz " of the current local time.
std::string LogTimeStamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d:%03d ", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
  return stamp;
}

// The log file is shared with other processes that may hold it briefly, so opening is
// tried a few times before the line is given up.
int OpenLogWithRetries(const std::string& path) {
  for (int attempt = 0; attempt < kLogAttempts; ++attempt) {
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd >= 0) return fd;
    std::this_thread::sleep_for(kLogPause);
  }
  return -1;
}

}  // namespace

dbServerConnection::dbServerConnection(std::string host, std::string port, std::string program_id,
                                       std::string key, bool secure, int answer_timeout,
                                       ServerIdentity identity)
    : Host(std::move(host)),
      Port(std::move(port)),
      Key(std::move(key)),
      ProgramID(std::move(program_id)),
      Secure(secure),
      AnswerTimeout(answer_timeout),
      Identity(std::move(identity)) {
  Connected = false;
  Connected = Connect();
}

dbServerConnection::~dbServerConnection() { Connected = false; }

int dbServerConnection::PortNumber(const std::string& port) {
  long long value = WholeNumber(port, kDefaultPort);
  return (value < 1 || value > 65535) ? kDefaultPort : static_cast<int>(value);
}

int dbServerConnection::TimeoutSetting(const std::string& text) {
  long long value = WholeNumber(text, -1);
  return (value < 1 || value > INT32_MAX) ? -1 : static_cast<int>(value);
}

std::string dbServerConnection::TimeoutText() const {
  const char* server = ProgramID.empty() ? "function server" : "data server";
  return std::string("The ") + server + " did not answer within " + std::to_string(AnswerTimeout) +
         (AnswerTimeout == 1 ? " second." : " seconds.");
}

bool dbServerConnection::Connect() {
  TimedOut = false;
  if (Connected) {
    DebugLog("Connect::return true");
    return true;
  }
  if (Refused()) return false;
  if (!Socket) {
    DebugLog("Connect::NoSocket");
    if (!MakeSocket()) return NoteFailure("the socket could not be made");
  }
  if (!OpenTransport()) {
    return NoteFailure(IdentityRefused ? "the server's identity could not be verified"
                       : TimedOut      ? TimeoutText()
                                       : "no connection to " + Host + ":" + Port);
  }
  Connected = true;
  Drain();
  if (ProgramID.empty()) return true;
  return Handshake();
}

// The socket layer raises a few errors while a socket or its TLS session is made; they
// leave the connection without a socket, and the next request tries again.
bool dbServerConnection::MakeSocket() {
  try {
    if (SocketMaker != nullptr) {
      Socket = SocketMaker(Secure);
    } else if (Secure) {
      Socket = std::make_unique<SecureSocket>();
    } else {
      Socket = std::make_unique<PlainSocket>();
    }
    if (auto* secure = dynamic_cast<SecureSocket*>(Socket.get())) {
      secure->server_identity = Identity;
    }
    if (Socket != nullptr) Socket->wait_hook = [this] { return KeepWaiting(); };
    return Socket != nullptr;
  } catch (const std::exception&) {
    Socket.reset();
    return false;
  }
}

bool dbServerConnection::OpenTransport() {
  IdentityRefused = false;
  StartWait();
  try {
    if (Socket->Connect(Host.c_str(), PortNumber(Port)) == SOCK_SUCCESS) return true;
    const auto* secure = dynamic_cast<const SecureSocket*>(Socket.get());
    IdentityRefused = secure != nullptr && secure->identity_refused;
    return false;
  } catch (const std::exception&) {
    Socket.reset();
    return false;
  }
}

// Whatever the server sends before the first request is not an answer to anything.
void dbServerConnection::Drain() {
  while (Socket->Read(MessageBuffer, kDrainChunk, 0, 1) > 0) {
  }
}

bool dbServerConnection::Handshake() {
  Handshaking = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{Handshaking};

  RequestList.Clear();
  RequestList.SetValue("Key", Key);
  RequestList.SetValue("ProgramID", ProgramID);
  HandshakeAnswer.clear();
  if (!SendMessage(FrameType::Handshake, FrameSubtype::None, RequestList.CommaText())) {
    // An empty answer leaves Connected as it was; the handshake has failed all the same.
    Connected = false;
    return NoteFailure("the handshake got no answer");
  }
  HandshakeAnswer = AnswerText;
  ServerDate = DateNumber(AnswerList.Value("Date"));
  if (std::trunc(ServerDate) == 0 && RequestServerDate()) return true;

  RunningFolder = AnswerList.Value("RunningFolder");
  RemoteIP = AnswerList.Value("RemoteIP");
  // A date request that failed at the socket level leaves a dead transport behind, which
  // an earlier "Accepted" must not make usable again.
  Connected = Connected && AnswerList.Value("Accepted") == "Y";
  if (Connected) return true;
  Socket.reset();
  return NoteFailure(Error.empty() ? "the server refused the handshake"
                                   : "the server refused the handshake: " + Error);
}

bool dbServerConnection::RequestServerDate() {
  if (!SendMessage(FrameType::Date, FrameSubtype::None, std::string())) return false;
  ServerDate = DateNumber(AnswerList.Value("Date"));
  return true;
}

bool dbServerConnection::IsConnected() {
  if (!Connected) return false;
  if (Socket) Socket->IsConnected();
  return true;
}

bool dbServerConnection::EnsureConnected() {
  if (Refused()) return false;
  if (!Connected && !Handshaking) Reconnect();
  return Connected;
}

void dbServerConnection::NoticePeerClose() {
  // A server may close a connection that stayed idle for long (the login window can wait
  // for hours). A request sent into it would fail and be lost, so a close that has already
  // arrived sends the request over a new connection instead. Only before a send: after
  // it, the poll could close the socket behind an answer that is still buffered.
  if (Connected && !Handshaking && Socket) {
    Socket->IsConnected();
    if (Socket->state != SOCK_STATE_CONNECTED) Connected = false;
  }
}

bool dbServerConnection::Reconnect() {
  if (Refused()) return false;
  Socket.reset();
  Connected = false;
  HandleEventsGuarded();
  return Connect();
}

bool dbServerConnection::Refused() const {
  return HandlingEvents || dbUserInterface::WaitsCancelled();
}

void dbServerConnection::HandleEventsGuarded() {
  HandlingEvents = true;
  dbUserInterface::HandleEvents();
  HandlingEvents = false;
}

// ---- Waiting for the server -----------------------------------------------------------------
//
// No wait blocks for long: the socket waits a slice at a time, and between slices the user
// interface handles its events (windows repaint, move, close). A close request (the
// cancelled waits) and the time limit end a wait here and nowhere else.

void dbServerConnection::StartWait() {
  if (AnswerTimeout >= 0) {
    WaitDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(AnswerTimeout);
  }
}

// Whether the wait goes on after a slice. A wait that ends here leaves the connection not
// connected: whatever the server sends later answers no request, and the next request
// connects again.
bool dbServerConnection::KeepWaiting() {
  HandleEventsGuarded();
  if (dbUserInterface::WaitsCancelled()) {
    Connected = false;
    return false;
  }
  if (AnswerTimeout >= 0 && std::chrono::steady_clock::now() >= WaitDeadline) {
    TimedOut = true;
    Connected = false;
    return false;
  }
  return true;
}

// Lets the socket take in bytes until `enough` says the buffered ones settle the read.
// Bytes that trickle in without pause still let the user interface in once a slice.
// False when the connection ended, the limit ran out or the program is closing.
bool dbServerConnection::AwaitBuffered(const std::function<bool()>& enough) {
  using Clock = std::chrono::steady_clock;
  const auto slice = std::chrono::microseconds(WAIT_SLICE_MICROSECONDS);
  if (dbUserInterface::WaitsCancelled()) {
    Connected = false;
    return false;
  }
  StartWait();
  auto next_events = Clock::now() + slice;
  while (!enough()) {
    const int got = Socket->WaitForData(true, 0, WAIT_SLICE_MICROSECONDS);
    if (got > 0) {
      StartWait();
    } else if (got != SOCK_TIMEOUT) {
      Connected = false;
      return false;
    }
    if (got == SOCK_TIMEOUT || Clock::now() >= next_events) {
      if (!KeepWaiting()) return false;
      next_events = Clock::now() + slice;
    }
  }
  return true;
}

// One chunk of an answer as ReadToNul gives it, read once the socket holds the NUL or a
// whole chunk, so that the reader itself never waits.
int dbServerConnection::ReadAnswerChunk() {
  std::size_t searched = 0;
  const bool settled = AwaitBuffered([this, &searched] {
    const auto count = static_cast<std::size_t>(Socket->recv_count);
    if (count >= static_cast<std::size_t>(MESSAGE_BUFFER_SIZE)) return true;
    if (count > searched && std::memchr(Socket->recv_buffer + searched, '\0', count - searched)) {
      return true;
    }
    searched = count;
    return false;
  });
  if (!settled) return SOCK_DISCONNECTED;
  return Socket->ReadToNul(MessageBuffer, MESSAGE_BUFFER_SIZE, 0, 0);
}

// Up to `count` bytes (at most a message buffer) into MessageBuffer, gathered as they
// arrive: fewer only when the connection ends or the wait is given up. Buffered bytes are
// taken at once, so that a connection that ends after them cannot discard them.
int dbServerConnection::ReadFileBytes(int count) {
  int got = 0;
  while (got < count && AwaitBuffered([this] { return Socket->recv_count > 0; })) {
    const int taken = Socket->Read(MessageBuffer + got, count - got, 0, 0);
    if (taken <= 0) break;
    got += taken;
  }
  return got;
}

bool dbServerConnection::SendFrame(int type, int subtype, const std::string& text) {
  TimedOut = false;
  if (Refused()) return false;
  NoticePeerClose();
  if (!EnsureConnected()) return NoteFailure("not connected to the server");
  if (text.size() + 1 > static_cast<std::size_t>(MAX_FRAME_TEXT)) {
    dbUserInterface::Message("Application Error", "Sending a message larger than MessageBuffer");
    return NoteFailure("the request is too large to send (" + std::to_string(text.size()) +
                       " characters; at most " + std::to_string(MAX_FRAME_TEXT - 1) + ")");
  }
  const int n = static_cast<int>(text.size()) + 1;
  EncodeFrameHeader({n, type, subtype}, MessageBuffer);
  std::memcpy(MessageBuffer + kFrameHeader, text.data(), text.size());
  MessageBuffer[kFrameHeader + n - 1] = '\0';
  if (!Socket || IsSocketFailure(Socket->Send(MessageBuffer, kFrameHeader + n))) {
    Connected = false;
    return NoteFailure("the connection failed while the request was sent");
  }
  return true;
}

bool dbServerConnection::ReadAnswer() {
  TimedOut = false;
  if (!EnsureConnected()) return NoteFailure("not connected to the server");
  AnswerText.clear();
  // Each chunk goes into the answer list while it is still fresh in the cache; the list
  // is split into lines only when someone asks for them (most large answers are JSON).
  AnswerList.SetCommaTextDeferred(std::string_view());
  MessageBuffer[MESSAGE_BUFFER_SIZE] = '\0';
  for (;;) {
    int result = ReadAnswerChunk();
    if (result < 0) {
      Connected = false;
      AnswerList.Clear();
      return NoteFailure(TimedOut ? TimeoutText()
                                  : "the connection ended before the whole answer arrived");
    }
    // The chunk's text ends at its NUL (the last byte delivered) or fills the buffer.
    std::string_view chunk(MessageBuffer, result > 0 ? result - 1 : MESSAGE_BUFFER_SIZE);
    if (!TakeAnswerChunk(chunk)) return false;
    if (result > 0) break;
  }
  if (AnswerText.empty()) return NoteFailure("the server's answer was empty");
  Error = AnswerList.Value("Error");
  ErrorCode = AnswerErrorCode(AnswerList);
  return true;
}

// Adds one chunk to the answer, as long as the answer stays within MaxAnswerSize and
// memory can hold it; otherwise the answer is given up.
bool dbServerConnection::TakeAnswerChunk(std::string_view chunk) {
  if (AnswerText.size() + chunk.size() > MaxAnswerSize) {
    return DropAnswer("the server's answer is longer than " + std::to_string(MaxAnswerSize) +
                      " bytes");
  }
  try {
    AnswerText.append(chunk);
    AnswerList.AppendCommaTextDeferred(chunk);
    return true;
  } catch (const std::bad_alloc&) {
    return DropAnswer("the server's answer does not fit in memory");
  }
}

// Frees what was read of an answer that cannot be taken, and closes the connection, whose
// rest of the answer would otherwise be read as the next one.
bool dbServerConnection::DropAnswer(const std::string& why) {
  std::string().swap(AnswerText);
  AnswerList = NameValueList();
  DropConnection();
  dbUserInterface::Message("The server's answer was too large and has been dropped.",
                           "Communication error");
  return NoteFailure(why);
}

// Closes the transport; the next framed request connects again.
void dbServerConnection::DropConnection() {
  Socket.reset();
  Connected = false;
}

bool dbServerConnection::NoteFailure(const std::string& why) {
  if (FailureReason.empty()) FailureReason = why;
  return false;
}

bool dbServerConnection::SendMessage(int type, int subtype, const std::string& text) {
  TimedOut = false;
  if (!EnsureConnected()) return false;
  if (!SendFrame(type, subtype, text)) {
    // Only a transport failure calls for a new connection; a refused oversized text
    // leaves the connection untouched. Inside the handshake, Connect itself gives up.
    if (!Connected && !Handshaking) Reconnect();
    return false;
  }
  return ReadAnswer();
}

bool dbServerConnection::ExchangeText(const std::string& text) {
  // The function server has no handshake, so a failed socket is simply opened again;
  // otherwise one dropped connection would fail every later exchange.
  TimedOut = false;
  if (Refused()) return false;
  NoticePeerClose();
  if (!EnsureConnected() || !Socket) return NoteFailure("not connected to the server");
  if (text.size() >= static_cast<std::size_t>(INT_MAX)) {
    return NoteFailure("the text is too large to send");
  }
  if (IsSocketFailure(Socket->Send(text.c_str(), static_cast<int>(text.size()) + 1))) {
    Connected = false;
    return NoteFailure("the connection failed while the text was sent");
  }
  return ReadAnswer();
}

std::int32_t dbServerConnection::GetFileInfo(const std::string& remote_name) {
  TimedOut = false;
  if (Refused()) return 0;
  if (!IsConnected()) {
    NoteFailure("not connected to the server");
    return 0;
  }
  if (!SendMessage(FrameType::File, FrameSubtype::FileInfo, remote_name)) return 0;
  FileSize = Int32OrZero(AnswerList.Value("FileSize"));
  return PackedDateOrZero(AnswerList.Value("FileDate"));
}

bool dbServerConnection::GetFile(const std::string& remote_name, const std::string& local_path,
                                 dbProgressBar* progress) {
  return GetFile(remote_name, local_path, progress, INT32_MAX);
}

bool dbServerConnection::GetFile(const std::string& remote_name, const std::string& local_path,
                                 dbProgressBar* progress, std::int32_t max_size) {
  TimedOut = false;
  if (Refused()) return false;
  if (!IsConnected()) return NoteFailure("not connected to the server");
  unlink(local_path.c_str());
  UniqueFd file(open(local_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!file.Valid()) return NoteFailure("cannot create " + local_path + ": " + SystemError(errno));
  if (!SendFrame(FrameType::File, FrameSubtype::FileDownload, remote_name)) return false;

  if (ReadFileBytes(kFileHeader) < kFileHeader) {
    return StopTransfer(TimedOut ? TimeoutText()
                                 : "the connection ended before the file's size and date arrived");
  }
  const auto [size, date] = DecodeDownloadHeader(MessageBuffer);
  if (size > max_size) {
    file.Reset();
    unlink(local_path.c_str());
    return StopTransfer("the file is larger than the " + std::to_string(max_size) +
                        " bytes it may have");
  }
  if (progress != nullptr) {
    progress->SetPosition(0);
    progress->SetMax(size);
  }
  if (!ReceiveFile(file.Get(), size, progress)) return false;
  SetFilePackedDate(file.Get(), date);
  file.Reset();
  ReadAnswer();
  if (size <= 0) {
    NoteFailure(Error.empty() ? "the server sent no file" : "the server sent no file: " + Error);
  }
  return size > 0;
}

// A transfer that stops early leaves the rest of the file and its closing answer in the
// connection, where the next request would read them as its own answer; the connection is
// closed instead, and the next request connects again.
bool dbServerConnection::StopTransfer(const std::string& why) {
  DropConnection();
  return NoteFailure(why);
}

// Why a download stopped after `received` of `size` bytes.
std::string dbServerConnection::StoppedAfter(std::int32_t received, std::int32_t size) const {
  if (TimedOut) return TimeoutText();
  return "the connection ended after " + std::to_string(received) + " of " + std::to_string(size) +
         " bytes";
}

// Copies `size` bytes from the socket into the file block by block; false when the
// connection ends first or the file cannot take them. The partial file stays.
bool dbServerConnection::ReceiveFile(int fd, std::int32_t size, dbProgressBar* progress) {
  if (lseek(fd, 0, SEEK_SET) < 0) return StopTransfer("the local file: " + SystemError(errno));
  std::int32_t received = 0;
  while (received < size) {
    const int got = ReadFileBytes(std::min(MESSAGE_BUFFER_SIZE, size - received));
    if (got <= 0) return StopTransfer(StoppedAfter(received, size));
    bool written = false;
    int write_error = 0;
    {
      // A write past the file-size limit then fails with EFBIG instead of ending the process.
      const ScopedSignalBlock no_sigxfsz(SIGXFSZ);
      errno = 0;
      written = WriteAll(fd, std::string_view(MessageBuffer, static_cast<std::size_t>(got)));
      write_error = errno != 0 ? errno : EIO;  // before the block's own calls change errno
    }
    if (!written) {
      return StopTransfer("writing the local file failed after " + std::to_string(received) +
                          " bytes: " + SystemError(write_error));
    }
    received += got;
    if (progress != nullptr) {
      progress->SetPosition(received);
      HandleEventsGuarded();
    }
    // The rest will not come: the connection ended, or its wait ran out or was cancelled.
    if (!Connected) return StopTransfer(StoppedAfter(received, size));
  }
  return true;
}

bool dbServerConnection::QueryTable(std::string table_name, int list, const std::string& key,
                                    const std::string& owner, NameValueList& result,
                                    const std::string& alias_list,
                                    const std::string& alias_fields) {
  return QueryTable(std::move(table_name), list, key, owner, result, alias_list, alias_fields,
                    NameValueList());
}

bool dbServerConnection::QueryTable(std::string table_name, int list, const std::string& key,
                                    const std::string& owner, NameValueList& result,
                                    const std::string& alias_list, const std::string& alias_fields,
                                    const NameValueList& extra_lines) {
  if (Refused()) return false;
  RequestList.Clear();
  if (table_name.find('.') != std::string::npos) {
    table_name.resize(table_name.size() >= 4 ? table_name.size() - 4 : 0);
  }
  RequestList.SetValue("TableName", table_name);
  RequestList.SetValue("List", std::to_string(list));
  RequestList.SetValue("Key", key);
  RequestList.SetValue("Owner", owner);
  if (!alias_list.empty()) RequestList.SetValue("AliasList", alias_list);
  if (!alias_fields.empty()) RequestList.SetValue("AliasFields", alias_fields);
  for (const std::string& line : extra_lines.Lines()) RequestList.Add(line);
  if (!Session.empty()) RequestList.Add("Session=" + Session);

  result.Clear();
  if (!SendMessage(FrameType::Table, FrameSubtype::TableQuery, RequestList.CommaText())) {
    result.Add("\"Error: SendMessage Failed.\"");
    return false;
  }
  for (const std::string& line : AnswerList.Lines()) result.Add(line);
  const std::string written = AnswerList.CommaText();
  return !(written == "~" || written.compare(0, 7, "\"Error:") == 0);
}

bool dbServerConnection::UpdateRecord(std::string table_name, const std::string& sequence,
                                      const NameValueList& fields) {
  if (Refused()) return false;
  RequestList.Clear();
  if (table_name.find(".def") != std::string::npos) table_name.resize(table_name.size() - 4);
  RequestList.Add("TableName=" + table_name);
  RequestList.Add("Seq=" + sequence);
  for (const std::string& field : fields.Lines()) {
    std::string line;
    for (std::size_t i = 0; i < field.size(); ++i) {
      if (field[i] == '\r' && i + 1 < field.size() && field[i + 1] == '\n') {
        line += "||";
        ++i;
      } else {
        line += field[i];
      }
    }
    RequestList.Add(std::move(line));
  }
  if (!Session.empty()) RequestList.Add("Session=" + Session);
  return SendMessage(FrameType::Table, FrameSubtype::RecordUpdate, RequestList.CommaText()) &&
         ErrorCode == 0;
}

// On Linux the log lives where an administrator looks for a program's state files:
// $XDG_STATE_HOME/hosp, or ~/.local/state/hosp. The folder is not created: a log that
// nobody prepared for stays off even when the switch is on.
std::string dbServerConnection::DebugLogPath() {
  const char* state_home = std::getenv("XDG_STATE_HOME");
  std::string folder;
  if (state_home != nullptr && state_home[0] == '/') {
    folder = state_home;
  } else {
    const char* home = std::getenv("HOME");
    folder = std::string(home != nullptr ? home : "") + "/.local/state";
  }
  return folder + "/hosp/DbDebugLog.txt";
}

void dbServerConnection::DebugLog(const std::string& message) {
  if (!DebugLogEnabled) return;
  std::string line = LogTimeStamp() + message;
  if (line.back() != '\n') line += "\r\n";
  const std::string path = DebugLogPath();
  int created = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (created >= 0) close(created);
  UniqueFd log(OpenLogWithRetries(path));
  if (log.Valid()) WriteAll(log.Get(), line);
}
