// libFuzzer target: dbServerConnection reads whatever a server sends through a real socket
// pair, in pieces of any size, and its answers, files and lists say exactly what arrived.
//
// Input: byte 0 picks the request, byte 1 the size of the pieces the server's bytes are sent
// in, the rest is the server's byte stream. In that stream FE a b c stands for the byte c
// repeated 4 * (256 * a + b) + 1 times, so that small inputs can make answers and files larger
// than the 50,000-byte chunks and the 65,535-byte receive buffer.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DataFrame.h"
#include "NameValueList.h"
#include "PlainSocket.h"
#include "SocketPump.h"
#include "dbServerConnection.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr unsigned char kRepeat = 0xFE;
constexpr std::size_t kMaxStream = 1 << 18;  // several chunks and receive buffers, and quick

std::string ExpandStream(std::string_view input) {
  std::string stream;
  for (std::size_t i = 0; i < input.size() && stream.size() < kMaxStream; ++i) {
    const auto byte = static_cast<unsigned char>(input[i]);
    if (byte == kRepeat && i + 3 < input.size()) {
      const auto high = static_cast<unsigned char>(input[i + 1]);
      const auto low = static_cast<unsigned char>(input[i + 2]);
      stream.append(4 * (256u * high + low) + 1, input[i + 3]);
      i += 3;
    } else {
      stream += input[i];
    }
  }
  return stream;
}

// The one connected end a connection may open; every later Connect is refused, so a failed
// request cannot reach anything else.
int g_pending_end = -1;

class PairSocket : public PlainSocket {
 public:
  int Connect(const char* /*host*/, int /*port*/) override {
    const int fd = g_pending_end;
    g_pending_end = -1;
    if (fd < 0) return -2;
    return Attach(fd, false);
  }
};

std::unique_ptr<PlainSocket> MakePairSocket(bool /*secure*/) {
  return std::make_unique<PairSocket>();
}

std::string LocalPath() {
  const char* base = std::getenv("TMPDIR");
  return std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/answer_reader_fuzz." +
         std::to_string(::getpid());
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether ReadAnswer succeeds when `stream` is what the server sends from here on: the answer
// must end with a NUL and hold at least one byte before it.
bool AnswerExpected(std::string_view stream) {
  const std::size_t nul = stream.find('\0');
  return nul != std::string_view::npos && nul > 0;
}

// What ReadAnswer must leave behind when `stream` is what the server sends from here on.
void CheckAnswer(const dbServerConnection& connection, std::string_view stream) {
  const std::size_t nul = stream.find('\0');
  if (nul == std::string_view::npos) {
    // The whole chunks read before the connection ended stay in AnswerText.
    Check(!connection.Connected);
    Check(stream.substr(0, connection.AnswerText.size()) == connection.AnswerText);
    return;
  }
  Check(connection.Connected);
  Check(connection.AnswerText == stream.substr(0, nul));
  if (nul == 0) return;
  NameValueList expected;
  expected.SetCommaText(connection.AnswerText);
  Check(connection.AnswerList.Lines() == expected.Lines());
  Check(connection.Error == expected.Value("Error"));
}

void ExchangeTextRequest(dbServerConnection& connection, std::string_view stream) {
  const bool read = connection.ExchangeText("{ServerCommand:getdoctorcases,DoctorSeq:1001}");
  Check(read == AnswerExpected(stream));
  CheckAnswer(connection, stream);
}

void QueryRequest(dbServerConnection& connection, std::string_view stream) {
  NameValueList result;
  const bool found = connection.QueryTable("Personnel", 4, "anna weber", "", result, "", "");
  const bool read = AnswerExpected(stream);
  CheckAnswer(connection, stream);
  if (!read) {
    Check(!found);
    return;
  }
  Check(result.Lines() == connection.AnswerList.Lines());
  const std::string written = connection.AnswerList.CommaText();
  Check(found == !(written == "~" || written.rfind("\"Error:", 0) == 0));
}

void UpdateRequest(dbServerConnection& connection, std::string_view stream) {
  NameValueList fields;
  fields.SetValue("f25", "Y");
  const bool done = connection.UpdateRecord("Cases", "5001", fields);
  const bool read = AnswerExpected(stream);
  CheckAnswer(connection, stream);
  Check(done == (read && connection.ErrorCode == 0));
}

void FileInfoRequest(dbServerConnection& connection, std::string_view stream) {
  const std::int32_t date = connection.GetFileInfo("Clients\\Pellomarquin.exe");
  CheckAnswer(connection, stream);
  if (!AnswerExpected(stream)) Check(date == 0);
}

// The download's size and date come first; the file must hold exactly the bytes that came.
void FileRequest(dbServerConnection& connection, std::string_view stream) {
  const std::string path = LocalPath();
  const bool received = connection.GetFile("Clients\\Pellomarquin.exe", path, nullptr);
  const std::string file = FileText(path);
  ::unlink(path.c_str());
  if (stream.size() < kDownloadHeaderSize) {
    Check(!received && file.empty());
    return;
  }
  const std::int32_t size = DecodeDownloadHeader(stream.data()).size;
  const std::string_view data = stream.substr(kDownloadHeaderSize);
  if (size <= 0) {
    Check(!received && file.empty());
    CheckAnswer(connection, data);
    return;
  }
  if (data.size() < static_cast<std::size_t>(size)) {
    Check(!received && file == data);
    return;
  }
  Check(received && file == data.substr(0, static_cast<std::size_t>(size)));
  CheckAnswer(connection, data.substr(static_cast<std::size_t>(size)));
}

// The handshake reads its answer, may ask for the date, and leaves a consistent connection.
void HandshakeRequest(std::string_view stream, std::size_t piece) {
  const SocketPairEnds ends = MakeSocketPair();
  if (ends.near_end < 0) return;
  g_pending_end = ends.near_end;
  SocketPump server(ends.far_end, std::string(stream), piece, true);
  {
    dbServerConnection connection("127.0.0.1", "1", "Pellomarquin", "", false, -1);
    Check(connection.Socket != nullptr || !connection.Connected);
    const bool was_connected = connection.Connected;
    NameValueList result;
    connection.QueryTable("Personnel", 4, "x", "", result, "", "");
    // A refused or broken handshake leaves nothing to re-connect to here.
    if (!was_connected)
      Check(result.Lines() == std::vector<std::string>{"\"Error: SendMessage Failed.\""});
  }
  server.Join();
  const FrameHeader handshake{23, FrameType::Handshake, FrameSubtype::None};
  Check(server.Received().rfind(EncodeFrameHeader(handshake), 0) == 0);
}

using Request = void (*)(dbServerConnection&, std::string_view);
constexpr Request kRequests[] = {ExchangeTextRequest, QueryRequest, UpdateRequest, FileInfoRequest,
                                 FileRequest};
constexpr std::size_t kRequestCount = std::size(kRequests);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  dbServerConnection::SocketMaker = MakePairSocket;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t choice = data[0] % (kRequestCount + 1);
  const std::string stream =
      ExpandStream(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2));
  // At most about a thousand pieces, so that long streams stay quick.
  const std::size_t piece =
      std::max<std::size_t>(1 + static_cast<std::size_t>(data[1]) * 257, stream.size() / 1024);
  if (choice == kRequestCount) {
    HandshakeRequest(stream, piece);
    return 0;
  }
  const SocketPairEnds ends = MakeSocketPair();
  if (ends.near_end < 0) return 0;
  g_pending_end = ends.near_end;
  SocketPump server(ends.far_end, stream, piece, true);
  {
    // No program identifier: Connect sends nothing, so every byte of the stream is an answer.
    dbServerConnection connection("127.0.0.1", "1", "", "", false, -1);
    Check(connection.Connected);
    kRequests[choice](connection, stream);
  }
  server.Join();
  return 0;
}
