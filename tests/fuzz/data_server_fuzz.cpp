// libFuzzer target: the data server's session reads any bytes a client sends through a real
// socket pair, answers each whole frame once and in order, and ends the connection cleanly.
//
// Input: byte 0 sets the size of the pieces the client's bytes are sent in; the rest is what
// the client sends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "DataFrame.h"
#include "DemoWorld.h"
#include "PlainSocket.h"
#include "SocketPump.h"
#include "net/DataSession.h"
#include "net/SessionChannel.h"
#include "service/ServiceContext.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// How many answers the bytes call for: one per whole, well-formed frame before the first
// broken one, which ends the connection. Nothing when a download is among them (its file
// bytes cannot be told from answers) or a frame too large for a connection whose handshake
// was not accepted (whether it was is the service's to say).
std::optional<int> ExpectedAnswers(std::string_view bytes) {
  int frames = 0;
  while (const auto frame = DecodeFrame(bytes, kMaxRequestBytes)) {
    if ((frame->header.type == FrameType::File &&
         frame->header.subtype == FrameSubtype::FileDownload) ||
        frame->header.length > kMaxRequestBytesBeforeHandshake) {
      return std::nullopt;
    }
    ++frames;
    bytes.remove_prefix(frame->size);
  }
  return frames;
}

// Every answer is a text of at least one byte with one NUL behind it, and nothing follows
// the last one.
void CheckAnswers(const std::string& received, int expected) {
  int answers = 0;
  std::size_t start = 0;
  for (std::size_t nul = received.find('\0'); nul != std::string::npos;
       nul = received.find('\0', start)) {
    Check(nul > start);
    ++answers;
    start = nul + 1;
  }
  Check(start == received.size());
  Check(answers == expected);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  DemoWorld::Get();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::size_t piece = std::max<std::size_t>(1 + data[0] * 64u, bytes.size() / 1024);
  DemoWorld& world = DemoWorld::Get();
  const SocketPairEnds ends = MakeSocketPair();
  if (ends.near_end < 0) return 0;
  auto ticket = world.Registry().Add(ends.near_end, "127.0.0.1", ServerPort::Data).ticket;
  Check(ticket.has_value());
  SocketPump client(ends.far_end, std::string(bytes), piece, false);
  {
    SessionChannel channel(std::make_unique<PlainSocket>(), std::move(*ticket),
                           world.Context().idle_limit, "data fuzz");
    Check(channel.Attach(UniqueFd(ends.near_end)));
    Metrics metrics;
    DataSession(channel, world.Context(), "127.0.0.1", metrics).Run();
  }
  client.Join();
  if (const auto expected = ExpectedAnswers(bytes)) CheckAnswers(client.Received(), *expected);
  return 0;
}
