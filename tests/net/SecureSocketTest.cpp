// Tests of the TLS socket against real peers: openssl s_server and s_client, and itself.
#include "SecureSocket.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "OpenSslOwners.h"
#include "TextException.h"
#include "TlsTestSupport.h"

namespace {

using namespace std::chrono_literals;
using namespace tls_test;
using Clock = std::chrono::steady_clock;

const TempDir& Scratch() {
  static const TempDir dir;
  return dir;
}

const Credentials& ServerCredentials() {
  static const Credentials credentials = MakeCredentials(Scratch(), "server", {"localhost"});
  return credentials;
}

SslContextPointer ServerContext() {
  const Credentials& credentials = ServerCredentials();
  return SslContextPointer(SecureSocket::CreateContext(
      credentials.certificate_file.c_str(), credentials.key_file.c_str(), nullptr, nullptr));
}

std::string Bytes(const char* text, std::size_t size) { return std::string(text, size); }

// Sets an environment variable for one scope.
class ScopedEnvironment {
 public:
  // Without a value the variable is unset for the scope.
  ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnvironment() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The client accepts a self-signed, an expired and another name's certificate alike.
TEST(SecureSocketTest, AcceptsAnyServerCertificate) {
  struct Case {
    const char* name;
    CertificateDetails details;
  };
  const Case cases[] = {
      {"SelfSigned", {"localhost"}},
      {"Expired", {"localhost", -2 * 86400, -86400}},
      {"OtherName", {"someone-else.invalid"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpensslServer server(MakeCredentials(Scratch(), c.name, c.details));
    SecureSocket client;
    ASSERT_EQ(client.Connect("localhost", server.Port()), SOCK_SUCCESS);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.Send("hi", 3), SOCK_SUCCESS);
    EXPECT_EQ(loopback::ReadExactly(server.Process().Output(), 3), Bytes("hi", 3));
  }
}

// NUL-terminated texts travel both ways, and the reader splits them at each NUL.
TEST(SecureSocketTest, RoundTripsNulTerminatedTexts) {
  OpensslServer server(ServerCredentials());
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  EXPECT_EQ(client.Send("question", 9), SOCK_SUCCESS);
  EXPECT_EQ(client.Send("plain", 0), SOCK_SUCCESS);  // up to its first 0 byte
  EXPECT_EQ(loopback::ReadExactly(server.Process().Output(), 14), Bytes("question\0plain", 14));

  ASSERT_TRUE(loopback::WriteAll(server.Process().Input(), Bytes("first\0second\0", 13)));
  char answer[100];
  EXPECT_EQ(client.ReadToNul(answer, 99, 5, 0), 6);
  EXPECT_STREQ(answer, "first");
  std::string text;
  EXPECT_EQ(client.ReadToNul(text, 99, 5, 0), 7);
  EXPECT_EQ(text, Bytes("second\0", 7));
}

// Several megabytes go each way at once and arrive byte-exact.
TEST(SecureSocketTest, TransfersMegabytesBothWays) {
  const std::size_t size = 4u << 20;
  const std::string upward = PatternBytes(size, 1);
  const std::string downward = PatternBytes(size, 2);
  OpensslServer server(ServerCredentials());
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);

  std::string arrived_upward;
  const int server_output = server.Process().Output();
  std::thread drain([&] { arrived_upward = loopback::ReadExactly(server_output, size); });
  std::thread feed([&] { loopback::WriteAll(server.Process().Input(), downward); });
  EXPECT_EQ(client.Send(upward.data(), static_cast<int>(size)), SOCK_SUCCESS);
  std::string arrived_downward(size, '\0');
  EXPECT_EQ(client.Read(arrived_downward.data(), static_cast<int>(size), 10, 0),
            static_cast<int>(size));
  feed.join();
  drain.join();
  EXPECT_TRUE(arrived_upward == upward);
  EXPECT_TRUE(arrived_downward == downward);
}

// A close alert or a dropped TCP connection during a read closes the socket; each reader
// reports it its own way.
TEST(SecureSocketTest, PeerEndDuringReadClosesTheSocket) {
  enum class End { CloseAlert, DroppedTcp };
  enum class Reader { FillBuffer, ReadToNul, Read };
  struct Case {
    const char* name;
    End end;
    Reader reader;
    int expected;
  };
  const Case cases[] = {
      {"AlertFillBuffer", End::CloseAlert, Reader::FillBuffer, 0},
      {"AlertReadToNul", End::CloseAlert, Reader::ReadToNul, SOCK_DISCONNECTED},
      {"AlertRead", End::CloseAlert, Reader::Read, 3},
      {"DropFillBuffer", End::DroppedTcp, Reader::FillBuffer, 0},
      {"DropReadToNul", End::DroppedTcp, Reader::ReadToNul, SOCK_DISCONNECTED},
      {"DropRead", End::DroppedTcp, Reader::Read, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpensslServer server(ServerCredentials());
    SecureSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
    ASSERT_TRUE(loopback::WriteAll(server.Process().Input(), "abc"));
    for (auto give_up = Clock::now() + 5s; client.recv_count < 3 && Clock::now() < give_up;) {
      client.WaitForData(true, 0, 100000);
    }
    ASSERT_EQ(client.recv_count, 3);
    if (c.end == End::CloseAlert) {
      server.Process().CloseInput();
    } else {
      server.Process().Kill();
    }
    char destination[11];
    int result = c.reader == Reader::FillBuffer  ? client.FillBuffer()
                 : c.reader == Reader::ReadToNul ? client.ReadToNul(destination, 10, -1, 0)
                                                 : client.Read(destination, 10, -1, 0);
    EXPECT_EQ(result, c.expected);
    if (c.reader == Reader::Read) {
      EXPECT_EQ(std::string(destination, 3), "abc");
    }
    EXPECT_EQ(client.state, SOCK_STATE_DISCONNECTED);
    EXPECT_FALSE(client.IsConnected());
  }
}

// The client negotiates TLS 1.2 and 1.3; the library's security level refuses TLS 1.1 and
// servers without a certificate.
TEST(SecureSocketTest, NegotiatesProtocolVersions) {
  struct Case {
    const char* name;
    std::vector<std::string> server_arguments;
    int version;  // 0: refused
  };
  const Case cases[] = {
      {"Highest", {}, TLS1_3_VERSION},
      {"Tls12", {"-tls1_2"}, TLS1_2_VERSION},
      {"Tls13", {"-tls1_3"}, TLS1_3_VERSION},
      {"Tls11", {"-tls1_1", "-cipher", "ALL:@SECLEVEL=0"}, 0},
      {"NoCertificate", {"-nocert", "-tls1_2", "-cipher", "aNULL:@SECLEVEL=0"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpensslServer server(ServerCredentials(), c.server_arguments);
    SecureSocket client;
    int result = client.Connect("127.0.0.1", server.Port());
    if (c.version == 0) {
      EXPECT_EQ(result, SOCK_ERROR);
      EXPECT_EQ(client.state, SOCK_STATE_DISCONNECTED);
    } else {
      ASSERT_EQ(result, SOCK_SUCCESS);
      EXPECT_EQ(SSL_version(client.ssl), c.version);
    }
  }
}

// Session tickets make the socket readable without application data: the 1-microsecond
// drain returns, and a wait with a limit keeps it and leaves the connection up.
TEST(SecureSocketTest, TimedWaitKeepsItsLimitWhenOnlyTicketsArrive) {
  OpensslServer server(ServerCredentials(), {"-tls1_3"});
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  ASSERT_TRUE(WaitReadable(client.handle, 5000));  // the tickets are here

  auto start = Clock::now();
  EXPECT_EQ(client.WaitForData(true, 0, 1), SOCK_TIMEOUT);
  char destination[101];
  EXPECT_EQ(client.Read(destination, 100, 0, 1), 0);
  EXPECT_EQ(client.WaitForData(true, 0, 300000), SOCK_TIMEOUT);
  auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, 300ms);
  EXPECT_LT(elapsed, 3s);
  EXPECT_EQ(client.state, SOCK_STATE_CONNECTED);
  SSL_SESSION* session = SSL_get1_session(client.ssl);
  EXPECT_TRUE(session != nullptr && SSL_SESSION_has_ticket(session) == 1);
  SSL_SESSION_free(session);

  ASSERT_TRUE(loopback::WriteAll(server.Process().Input(), Bytes("late\0", 5)));
  EXPECT_EQ(client.ReadToNul(destination, 100, 5, 0), 5);
  EXPECT_STREQ(destination, "late");
}

// Decrypted bytes the library holds count as data: a reader without a time limit must
// not wait on the socket for them.
TEST(SecureSocketTest, PendingBytesDoNotStallReaderWithoutLimit) {
  constexpr int kRecord = 16384;  // the largest TLS record
  constexpr int kFiller = 60000;  // leaves less room than one record
  constexpr int kHeld = kRecord - (RECV_BUFFER_CAPACITY - kFiller);
  SslContextPointer context = ServerContext();
  std::promise<void> client_done;
  std::future<void> client_finished = client_done.get_future();
  ServerThread server(context.get(), [&](SecureSocket& peer) {
    std::string record(kRecord, 'r');
    record.back() = '\0';
    EXPECT_EQ(peer.Send(record.data(), kRecord), SOCK_SUCCESS);
    client_finished.wait_for(10s);
  });
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  const std::string filler(kFiller, 'f');
  ASSERT_TRUE(client.AppendReceived(filler.data(), kFiller));

  std::vector<char> chunk(RECV_BUFFER_SIZE);
  EXPECT_EQ(client.ReadToNul(chunk.data(), RECV_BUFFER_CAPACITY, -1, 0), 0);  // full, no NUL yet
  EXPECT_EQ(client.Pending(), kHeld);
  auto start = Clock::now();
  EXPECT_EQ(client.ReadToNul(chunk.data(), RECV_BUFFER_CAPACITY, -1, 0), kHeld);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(chunk[kHeld - 2], 'r');
  client_done.set_value();
}

// FillBuffer on a full buffer returns the buffered count and leaves the network alone.
TEST(SecureSocketTest, FillBufferOnFullBufferReadsNothing) {
  SslContextPointer context = ServerContext();
  ServerThread server(context.get(), [](SecureSocket& peer) {
    peer.Send("abc", 4);
    char ack[8];
    peer.ReadToNul(ack, 7, 10, 0);
  });
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  const std::string filler(RECV_BUFFER_CAPACITY, 'f');
  ASSERT_TRUE(client.AppendReceived(filler.data(), RECV_BUFFER_CAPACITY));
  EXPECT_EQ(client.FillBuffer(), RECV_BUFFER_CAPACITY);
  EXPECT_EQ(client.recv_count, RECV_BUFFER_CAPACITY);

  std::vector<char> sink(RECV_BUFFER_SIZE);
  EXPECT_EQ(client.TakeReceived(sink.data(), RECV_BUFFER_CAPACITY, true), RECV_BUFFER_CAPACITY);
  char text[16];
  EXPECT_EQ(client.ReadToNul(text, 15, 5, 0), 4);
  EXPECT_STREQ(text, "abc");
  client.Send("ok", 3);
}

// Server side over openssl s_client: Attach completes the handshake and data flows both ways.
TEST(SecureSocketTest, AttachServesOpensslClient) {
  SslContextPointer context = ServerContext();
  ASSERT_NE(context, nullptr);
  loopback::Listener listener;
  ChildProcess client({"openssl", "s_client", "-connect",
                       "127.0.0.1:" + std::to_string(listener.Port()), "-quiet"});
  UniqueFd accepted = listener.Accept(10000);
  ASSERT_GE(accepted.Get(), 0);
  SecureSocket server(context.get());
  ASSERT_EQ(server.Attach(accepted.Release(), false), SOCK_SUCCESS);

  ASSERT_TRUE(loopback::WriteAll(client.Input(), Bytes("from client\0", 12)));
  char text[32];
  EXPECT_EQ(server.ReadToNul(text, 31, 5, 0), 12);
  EXPECT_STREQ(text, "from client");
  EXPECT_EQ(server.Send("from server", 12), SOCK_SUCCESS);
  EXPECT_EQ(loopback::ReadExactly(client.Output(), 12), Bytes("from server\0", 12));
}

// Server side over our own client, with a context whose key is encrypted: both SendFile
// forms deliver the file byte-exact.
TEST(SecureSocketTest, AttachServesOwnClientAndSendsFiles) {
  const Credentials locked =
      MakeCredentials(Scratch(), "locked-server", {"localhost", -3600, 86400, "open sesame"});
  SslContextPointer context(SecureSocket::CreateContext(
      locked.certificate_file.c_str(), locked.key_file.c_str(), "open sesame", nullptr));
  ASSERT_NE(context, nullptr);
  const std::string content = PatternBytes((1u << 20) + 123, 3);
  const std::string path = Scratch().Path("payload.bin");
  std::ofstream(path, std::ios::binary) << content;

  ServerThread server(context.get(), [&](SecureSocket& peer) {
    EXPECT_EQ(peer.SendFile(path.c_str()), SOCK_SUCCESS);
    EXPECT_EQ(peer.bytes_sent, content.size());
    EXPECT_EQ(peer.file_size, content.size());
    EXPECT_FALSE(peer.sending_file);
    int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(peer.SendFile(file), SOCK_SUCCESS);
    close(file);
    char ack[8];
    EXPECT_EQ(peer.ReadToNul(ack, 7, 10, 0), 7);
  });
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  const int size = static_cast<int>(content.size());
  std::string arrived(2 * content.size(), '\0');
  EXPECT_EQ(client.Read(arrived.data(), 2 * size, 10, 0), 2 * size);
  EXPECT_TRUE(arrived == content + content);
  client.Send("thanks", 7);
}

// SendFile fails on a read that delivers nothing and never sends a stray byte.
TEST(SecureSocketTest, SendFileFailsWhenTheFileDeliversNothing) {
  const std::string path = Scratch().Path("short.bin");
  std::ofstream(path, std::ios::binary) << PatternBytes(1000, 4);
  SslContextPointer context = ServerContext();
  ServerThread server(context.get(), [&](SecureSocket& peer) {
    struct Case {
      const char* name;
      int file;
    };
    int at_end = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    lseek(at_end, 0, SEEK_END);
    int write_only = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const Case cases[] = {{"AtEndOfFile", at_end}, {"WriteOnly", write_only}, {"NoHandle", -1}};
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(peer.SendFile(c.file), SOCK_ERROR);
      EXPECT_FALSE(peer.sending_file);
    }
    EXPECT_EQ(peer.SendFile(Scratch().Path("missing.bin").c_str()), SOCK_ERROR);
    close(at_end);
    close(write_only);
    peer.Send("end", 4);
  });
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  char text[16];
  EXPECT_EQ(client.ReadToNul(text, 15, 10, 0), 4);  // nothing came before the marker
  EXPECT_STREQ(text, "end");
}

// Without a connection the socket answers as the contract says, touching no network.
TEST(SecureSocketTest, UnconnectedSocketAnswersWithoutNetwork) {
  SecureSocket socket;
  EXPECT_EQ(socket.Send("abc", 3), SOCK_SUCCESS);
  EXPECT_EQ(socket.Send(nullptr, 3), SOCK_SUCCESS);
  EXPECT_EQ(socket.Pending(), 0);
  EXPECT_EQ(socket.FillBuffer(), 0);
  char text[8];
  EXPECT_EQ(socket.ReadToNul(text, 7, 0, 0), SOCK_DISCONNECTED);
  EXPECT_EQ(socket.SendFile("anything"), SOCK_ERROR);
  EXPECT_EQ(socket.SendFile(FileHandle{3}), SOCK_ERROR);
  EXPECT_FALSE(socket.IsConnected());
  EXPECT_EQ(socket.Connect(nullptr, 1), SOCK_ERROR);
  EXPECT_EQ(socket.Connect(std::string(200, 'a').c_str(), 1), SOCK_ERROR);  // would not fit
}

// Connect and Attach on a socket in use end the previous connection instead of leaking it.
TEST(SecureSocketTest, ReusedSocketEndsThePreviousConnection) {
  OpensslServer first(ServerCredentials());
  OpensslServer second(ServerCredentials());
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", first.Port()), SOCK_SUCCESS);
  ASSERT_EQ(client.Connect("127.0.0.1", second.Port()), SOCK_SUCCESS);
  char byte;
  ASSERT_TRUE(WaitReadable(first.Process().Output(), 5000));
  EXPECT_EQ(read(first.Process().Output(), &byte, 1), 0);  // s_server ended with its connection

  SslContextPointer context = ServerContext();
  loopback::Listener listener;
  SecureSocket old_peer;
  SecureSocket new_peer;
  std::thread clients([&] {
    old_peer.Connect("127.0.0.1", listener.Port());
    new_peer.Connect("127.0.0.1", listener.Port());
  });
  SecureSocket server(context.get());
  EXPECT_EQ(server.Attach(listener.Accept().Release(), false), SOCK_SUCCESS);
  EXPECT_EQ(server.Attach(listener.Accept().Release(), false), SOCK_SUCCESS);
  clients.join();
  char text[8];
  EXPECT_EQ(old_peer.ReadToNul(text, 7, 5, 0), SOCK_DISCONNECTED);
  EXPECT_EQ(server.Send("new", 4), SOCK_SUCCESS);
  EXPECT_EQ(new_peer.ReadToNul(text, 7, 5, 0), 4);
}

// After an Attach with a borrowed descriptor and a receive error, Connect makes a connection
// of its own: its descriptor is closed by Close, and no stale byte is served as the new peer's.
TEST(SecureSocketTest, ConnectAfterBorrowedAttachStartsAfresh) {
  OpensslServer server(ServerCredentials());
  SecureSocket client;
  auto [lent, lent_peer] = loopback::MakeSocketPair();
  lent_peer.Reset();  // no TLS client on the other end: the accept fails
  EXPECT_EQ(client.Attach(lent.Get(), true), SOCK_ERROR);
  client.state = SOCK_STATE_ERROR;  // as a failed receive leaves it, with bytes still buffered
  auto [space, at] = client.ReceiveSpace();
  ASSERT_GE(space, 5);
  std::memcpy(at, "stale", 5);
  client.CommitReceived(5);

  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  ASSERT_TRUE(loopback::WriteAll(server.Process().Input(), Bytes("new\0", 4)));
  char text[16];
  EXPECT_EQ(client.ReadToNul(text, 15, 5, 0), 4);
  EXPECT_STREQ(text, "new");
  const int own = client.handle;
  client.Close();
  EXPECT_EQ(fcntl(own, F_GETFD), -1) << "the connected descriptor was left open";
  EXPECT_NE(fcntl(lent.Get(), F_GETFD), -1) << "the borrowed descriptor was closed";
}

// A second Close leaves alone a descriptor that now has the old number.
TEST(SecureSocketTest, CloseTwiceLeavesAReusedDescriptorAlone) {
  OpensslServer server(ServerCredentials());
  SecureSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  const int old_number = client.handle;
  client.Close();
  auto [reused, other_end] = loopback::MakeSocketPair();
  ASSERT_EQ(dup2(reused.Get(), old_number), old_number);
  ASSERT_TRUE(loopback::WriteAll(other_end.Get(), "x"));
  client.Close();
  char byte = 0;
  EXPECT_EQ(recv(old_number, &byte, 1, MSG_DONTWAIT), 1);        // not consumed by the old session
  EXPECT_EQ(recv(other_end.Get(), &byte, 1, MSG_DONTWAIT), -1);  // nor written to
  close(old_number);
}

// On a non-blocking descriptor a write that must wait waits: nothing is dropped.
TEST(SecureSocketTest, NonBlockingDescriptorLosesNoData) {
  const std::size_t size = 4u << 20;
  const std::string content = PatternBytes(size, 5);
  SslContextPointer context = ServerContext();
  loopback::Listener listener;
  std::string arrived(size, '\0');
  int gathered = 0;
  std::thread reader([&] {
    SecureSocket client;
    if (client.Connect("127.0.0.1", listener.Port()) == SOCK_SUCCESS) {
      std::this_thread::sleep_for(200ms);  // let the sender's buffers fill up
      gathered = client.Read(arrived.data(), static_cast<int>(size), 10, 0);
    }
  });
  UniqueFd accepted = listener.Accept();
  ASSERT_GE(accepted.Get(), 0);
  fcntl(accepted.Get(), F_SETFL, fcntl(accepted.Get(), F_GETFL) | O_NONBLOCK);
  SecureSocket server(context.get());
  EXPECT_EQ(server.Attach(accepted.Release(), false), SOCK_SUCCESS);
  EXPECT_EQ(server.Send(content.data(), static_cast<int>(size)), SOCK_SUCCESS);
  reader.join();
  EXPECT_EQ(gathered, static_cast<int>(size));
  EXPECT_TRUE(arrived == content);
}

// Connect where nobody listens, or to a peer that does not speak TLS, fails without throwing.
TEST(SecureSocketTest, ConnectFailsWithoutThrowing) {
  struct Case {
    const char* name;
    bool listening;
    const char* reply;  // what the plain peer sends, if anything
    bool stays_open;
  };
  const Case cases[] = {
      {"NobodyListens", false, nullptr, false},
      {"PlainPeerCloses", true, nullptr, false},
      {"PlainPeerSendsGarbage", true, "HTTP/1.0 400 Bad Request\r\n\r\n", false},
      {"PlainPeerSendsGarbageAndWaits", true, "garbage garbage garbage\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    loopback::Listener listener;
    std::promise<void> done;
    std::thread peer([&, finished = done.get_future()] {
      UniqueFd accepted = listener.Accept(c.listening ? 5000 : 0);
      if (accepted.Get() >= 0 && c.reply != nullptr) {
        loopback::WriteAll(accepted.Get(), c.reply);
      }
      if (c.stays_open) {
        finished.wait_for(5s);
      }
    });
    if (!c.listening) {
      peer.join();
      listener.Close();
    }
    SecureSocket client;
    int result = SOCK_SUCCESS;
    EXPECT_NO_THROW(result = client.Connect("127.0.0.1", listener.Port()));
    EXPECT_EQ(result, SOCK_ERROR);
    EXPECT_EQ(client.state, SOCK_STATE_DISCONNECTED);
    if (c.listening) {
      EXPECT_TRUE(PlainSocket::IsValidSocket(client.handle));  // open until Close
      client.Close();
      EXPECT_EQ(client.handle, INVALID_SOCKET);
      done.set_value();
      peer.join();
    }
  }
}

// A session that cannot be made leaves none behind, and the socket stays usable.
TEST(SecureSocketTest, FailedSessionLeavesNothingHalfMade) {
  SecureSocket socket;
  EXPECT_EQ(socket.Attach(INVALID_SOCKET, false), SOCK_ERROR);
  EXPECT_EQ(socket.ssl, nullptr);
  EXPECT_EQ(socket.state, SOCK_STATE_DISCONNECTED);

  loopback::Listener silent;  // completes TCP connections, never speaks
  ssl_ctx_st* context = std::exchange(socket.ssl_ctx, nullptr);
  try {
    socket.Connect("127.0.0.1", silent.Port());
    ADD_FAILURE() << "Connect did not throw";
  } catch (const TextException& error) {
    EXPECT_STREQ(error.what(), "ctx == NULL");
  }
  EXPECT_EQ(socket.ssl, nullptr);
  EXPECT_EQ(socket.bio, nullptr);
  EXPECT_FALSE(socket.IsConnected());
  EXPECT_EQ(socket.FillBuffer(), 0);
  EXPECT_EQ(socket.Pending(), 0);
  socket.ssl_ctx = context;

  OpensslServer server(ServerCredentials());
  ASSERT_EQ(socket.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
  EXPECT_EQ(socket.Send("again", 6), SOCK_SUCCESS);
  EXPECT_EQ(loopback::ReadExactly(server.Process().Output(), 6), Bytes("again\0", 6));
}

// Sending to a peer that has gone fails with SOCK_ERROR and raises no SIGPIPE.
TEST(SecureSocketTest, SendToVanishedPeerRaisesNoSigpipe) {
  auto previous = std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end this test process
  SslContextPointer context = ServerContext();
  {
    ServerThread server(context.get(), [](SecureSocket& peer) { peer.Close(); });
    SecureSocket client;
    ASSERT_EQ(client.Connect("127.0.0.1", server.Port()), SOCK_SUCCESS);
    const std::string block(65536, 'x');
    int result = SOCK_SUCCESS;
    for (int i = 0; i < 512 && result == SOCK_SUCCESS; ++i) {
      result = client.Send(block.data(), static_cast<int>(block.size()));
    }
    EXPECT_EQ(result, SOCK_ERROR);
    const std::string path = Scratch().Path("unsent.bin");
    std::ofstream(path, std::ios::binary) << std::string(1u << 20, 'y');
    EXPECT_EQ(client.SendFile(path.c_str()), SOCK_ERROR);  // a failed Send fails the transfer
    client.Close();
  }
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  std::signal(SIGPIPE, previous);
}

// The pass phrase is handed over only when the buffer holds it and its terminating 0.
TEST(SecureSocketTest, PasswordCallbackNeedsRoomForTerminator) {
  struct Case {
    const char* name;
    const char* pass_phrase;
    int size;
    int expected;
  };
  const Case cases[] = {
      {"TooSmall", "secret", 6, 0}, {"Exact", "secret", 7, 6},        {"Larger", "secret", 64, 6},
      {"Empty", "", 1, 0},          {"NoPassPhrase", nullptr, 64, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(SecureSocket::PasswordCallback(buffer, c.size, 0, const_cast<char*>(c.pass_phrase)),
              c.expected);
    bool copied = c.pass_phrase != nullptr && c.size > static_cast<int>(std::strlen(c.pass_phrase));
    EXPECT_EQ(buffer[0], copied ? c.pass_phrase[0] : '#');
  }
}

// CreateContext loads each file it is given and fails when one cannot be used.
TEST(SecureSocketTest, CreateContextUsesWhatItIsGiven) {
  const Credentials plain = MakeCredentials(Scratch(), "plain", {"localhost"});
  const Credentials other = MakeCredentials(Scratch(), "other", {"other"});
  const Credentials locked =
      MakeCredentials(Scratch(), "locked", {"localhost", -3600, 86400, "open sesame"});
  struct Case {
    const char* name;
    const char* certificate;
    const char* key;
    const char* pass_phrase;
    const char* authority;
    bool made;
  };
  const Case cases[] = {
      {"Nothing", nullptr, nullptr, nullptr, nullptr, true},
      {"CertificateAndKey", plain.certificate_file.c_str(), plain.key_file.c_str(), nullptr,
       nullptr, true},
      {"EncryptedKey", locked.certificate_file.c_str(), locked.key_file.c_str(), "open sesame",
       nullptr, true},
      {"WrongPassPhrase", locked.certificate_file.c_str(), locked.key_file.c_str(), "open", nullptr,
       false},
      {"NoPassPhrase", locked.certificate_file.c_str(), locked.key_file.c_str(), nullptr, nullptr,
       false},
      {"KeyOfAnotherCertificate", plain.certificate_file.c_str(), other.key_file.c_str(), nullptr,
       nullptr, false},
      {"MissingCertificate", "/nonexistent.crt", nullptr, nullptr, nullptr, false},
      {"Authority", nullptr, nullptr, nullptr, plain.certificate_file.c_str(), true},
      {"MissingAuthority", nullptr, nullptr, nullptr, "/nonexistent.crt", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SslContextPointer context(
        SecureSocket::CreateContext(c.certificate, c.key, c.pass_phrase, c.authority));
    EXPECT_EQ(context != nullptr, c.made);
    EXPECT_EQ(ERR_peek_error(), 0u);  // the reason goes no further
    if (context != nullptr) {
      // Our callback stays in place, so a key file never makes the library prompt on the
      // terminal, and the caller's pass phrase is not kept past the call.
      EXPECT_EQ(SSL_CTX_get_default_passwd_cb(context.get()), &SecureSocket::PasswordCallback);
      EXPECT_EQ(SSL_CTX_get_default_passwd_cb_userdata(context.get()), nullptr);
    }
  }
}

std::atomic<int> contexts_freed{0};
int context_marker = 0;

void CountFreedContext(void*, void* data, CRYPTO_EX_DATA*, int, long, void*) {
  if (data == &context_marker) {
    ++contexts_freed;
  }
}

// Two sockets work side by side, each freeing the context it made and none a shared one.
TEST(SecureSocketTest, SocketsFreeOnlyTheirOwnContexts) {
  int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, CountFreedContext);
  contexts_freed = 0;
  {
    OpensslServer first_server(ServerCredentials());
    OpensslServer second_server(ServerCredentials());
    SecureSocket first;
    SecureSocket second;
    EXPECT_NE(first.ssl_ctx, second.ssl_ctx);
    SSL_CTX_set_ex_data(first.ssl_ctx, index, &context_marker);
    SSL_CTX_set_ex_data(second.ssl_ctx, index, &context_marker);
    ASSERT_EQ(first.Connect("127.0.0.1", first_server.Port()), SOCK_SUCCESS);
    ASSERT_EQ(second.Connect("127.0.0.1", second_server.Port()), SOCK_SUCCESS);
    EXPECT_EQ(second.Send("2", 1), SOCK_SUCCESS);
    EXPECT_EQ(first.Send("1", 1), SOCK_SUCCESS);
    EXPECT_EQ(loopback::ReadExactly(first_server.Process().Output(), 1), "1");
    EXPECT_EQ(loopback::ReadExactly(second_server.Process().Output(), 1), "2");
  }
  EXPECT_EQ(contexts_freed, 2);

  ssl_ctx_st* shared = SecureSocket::CreateContext(nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(shared, nullptr);
  SSL_CTX_set_ex_data(shared, index, &context_marker);
  {
    SecureSocket user(shared);
    EXPECT_FALSE(user.owns_ctx);
    EXPECT_EQ(user.ssl_ctx, shared);
  }
  EXPECT_EQ(contexts_freed, 2);
  SSL_CTX_free(shared);
  EXPECT_EQ(contexts_freed, 3);
}

// The last socket of a thread releases the thread's error queue; an earlier one does not.
TEST(SecureSocketTest, LastSocketOfThreadReleasesErrorQueue) {
  std::thread([] {
    auto first = std::make_unique<SecureSocket>();
    auto second = std::make_unique<SecureSocket>();
    ERR_raise(ERR_LIB_USER, ERR_R_PASSED_INVALID_ARGUMENT);
    first.reset();
    EXPECT_NE(ERR_peek_error(), 0u);
    second.reset();
    EXPECT_EQ(ERR_peek_error(), 0u);
  }).join();
}

// "SSL_CERT_MUTEX" is a lock file of the user's: held through another open file (as another
// process would), it makes CreateContext wait until it is released.
TEST(SecureSocketTest, CertificateLockIsSharedThroughTheLockFile) {
  const TempDir runtime;
  ScopedEnvironment environment("XDG_RUNTIME_DIR", runtime.Folder());
  SslContextPointer first(SecureSocket::CreateContext(nullptr, nullptr, nullptr, nullptr));
  ASSERT_NE(first, nullptr);
  const std::string lock_file = runtime.Path("SSL_CERT_MUTEX");
  struct stat info {};
  ASSERT_EQ(stat(lock_file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  UniqueFd holder(open(lock_file.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_EQ(flock(holder.Get(), LOCK_EX), 0);
  std::atomic<ssl_ctx_st*> made{nullptr};
  std::thread maker(
      [&] { made = SecureSocket::CreateContext(nullptr, nullptr, nullptr, nullptr); });
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(made.load(), nullptr);
  flock(holder.Get(), LOCK_UN);
  maker.join();
  EXPECT_NE(made.load(), nullptr);
  SSL_CTX_free(made.load());
}

// A lock file replaced by a symbolic link is refused: no context, and the constructor
// throws "CTX == NULL" without leaking what it had made.
TEST(SecureSocketTest, SymlinkedLockFileIsRefused) {
  const TempDir runtime;
  ASSERT_EQ(symlink(runtime.Path("elsewhere").c_str(), runtime.Path("SSL_CERT_MUTEX").c_str()), 0);
  ScopedEnvironment environment("XDG_RUNTIME_DIR", runtime.Folder());
  EXPECT_EQ(SecureSocket::CreateContext(nullptr, nullptr, nullptr, nullptr), nullptr);
  try {
    SecureSocket socket;
    ADD_FAILURE() << "the constructor did not throw";
  } catch (const TextException& error) {
    EXPECT_STREQ(error.what(), "CTX == NULL");
  }
  EXPECT_FALSE(std::filesystem::exists(runtime.Path("elsewhere")));
}

// Acts as another user (effective user id only) for one scope.
class EffectiveUser {
 public:
  explicit EffectiveUser(uid_t user) : ok_(seteuid(user) == 0) {}
  ~EffectiveUser() {
    if (ok_) {
      EXPECT_EQ(seteuid(0), 0);
    }
  }
  EffectiveUser(const EffectiveUser&) = delete;
  EffectiveUser& operator=(const EffectiveUser&) = delete;
  bool Ok() const { return ok_; }

 private:
  bool ok_;
};

// Without a runtime folder the lock file lives in the user's home: a file that another user
// made first under a name in the shared /tmp blocks nothing.
TEST(SecureSocketTest, LockFileCannotBeTakenByAnotherUser) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "acting as two users needs root";
  }
  constexpr uid_t kUser = 54321;  // unused ids, so no real process shares these names
  constexpr uid_t kOther = 54322;
  const std::string squatted = "/tmp/SSL_CERT_MUTEX-" + std::to_string(kUser);
  char home_pattern[] = "/tmp/hosp-home-XXXXXX";
  ASSERT_NE(mkdtemp(home_pattern), nullptr);
  const std::string home = home_pattern;
  struct Tidy {
    std::string squatted, home;
    ~Tidy() {
      std::error_code ignored;
      std::filesystem::remove(squatted, ignored);
      std::filesystem::remove_all(home, ignored);
    }
  } tidy{squatted, home};
  std::filesystem::remove(squatted);
  UniqueFd squat(open(squatted.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  ASSERT_GE(squat.Get(), 0);
  ASSERT_EQ(fchown(squat.Get(), kOther, kOther), 0);
  ASSERT_EQ(flock(squat.Get(), LOCK_EX), 0);
  ASSERT_EQ(chown(home.c_str(), kUser, kUser), 0);

  ssl_ctx_st* made = nullptr;
  {
    ScopedEnvironment no_runtime("XDG_RUNTIME_DIR", std::nullopt);
    ScopedEnvironment own_home("HOME", home);
    EffectiveUser user(kUser);
    ASSERT_TRUE(user.Ok());
    made = SecureSocket::CreateContext(nullptr, nullptr, nullptr, nullptr);
  }
  EXPECT_NE(made, nullptr);
  SSL_CTX_free(made);
  struct stat info {};
  ASSERT_EQ(stat((home + "/.cache/hosp/SSL_CERT_MUTEX").c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kUser);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A service started with someone else's $HOME, no home of its own and its /tmp folder taken
// by another user still makes its contexts: no place for the lock must not stop the program.
TEST(SecureSocketTest, ContextIsMadeWhereNoPrivateLockFolderExists) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "acting as two users needs root";
  }
  constexpr uid_t kUser = 54323;  // no account, so no home from the user database either
  constexpr uid_t kOther = 54324;
  const std::string squatted = "/tmp/hosp-" + std::to_string(kUser);
  struct Tidy {
    std::string squatted;
    ~Tidy() {
      std::error_code ignored;
      std::filesystem::remove_all(squatted, ignored);
    }
  } tidy{squatted};
  std::filesystem::remove_all(squatted);
  ASSERT_EQ(mkdir(squatted.c_str(), 0777), 0);
  ASSERT_EQ(chown(squatted.c_str(), kOther, kOther), 0);

  ssl_ctx_st* made = nullptr;
  {
    ScopedEnvironment no_runtime("XDG_RUNTIME_DIR", std::nullopt);
    ScopedEnvironment foreign_home("HOME", "/root");
    EffectiveUser user(kUser);
    ASSERT_TRUE(user.Ok());
    made = SecureSocket::CreateContext(nullptr, nullptr, nullptr, nullptr);
  }
  EXPECT_NE(made, nullptr);
  SSL_CTX_free(made);
}

}  // namespace
