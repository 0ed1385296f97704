// Tests of PlainSocket over real loopback connections and socket pairs.
#include "PlainSocket.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "LoopbackPair.h"

using loopback::WriteAll;
using namespace std::chrono_literals;

namespace {

std::string Bytes(const char* data, std::size_t size) { return std::string(data, size); }

// True when the peer sees the end of the connection within a second.
bool PeerSeesEnd(int fd) {
  char byte;
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 1000) == 1 && recv(fd, &byte, 1, 0) <= 0;
}

bool IsOpenDescriptor(int fd) { return fcntl(fd, F_GETFD) != -1; }

}  // namespace

class PlainSocketTest : public ::testing::Test {
 protected:
  // (Re)connects the socket under test to a fresh peer from the listener.
  void ConnectToPeer() {
    ASSERT_EQ(socket_.Connect("127.0.0.1", listener_.Port()), SOCK_SUCCESS);
    peer_ = listener_.Accept();
    ASSERT_GE(peer_.Get(), 0);
  }

  // Sends from the peer and waits (bounded) until all of it is readable at our end,
  // so one receive takes it in at once.
  void PeerSends(const std::string& data) {
    int before = socket_.Pending();
    ASSERT_TRUE(WriteAll(peer_.Get(), data));
    for (int i = 0; i < 500 && socket_.Pending() < before + static_cast<int>(data.size()); ++i) {
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_GE(socket_.Pending(), before + static_cast<int>(data.size()));
  }

  loopback::Listener listener_;
  PlainSocket socket_;
  UniqueFd peer_;
};

// Connect reaches the listener by dotted address and by name and keeps the host name.
TEST_F(PlainSocketTest, ConnectByAddressAndName) {
  for (const char* host : {"127.0.0.1", "localhost"}) {
    ASSERT_EQ(socket_.Connect(host, listener_.Port()), SOCK_SUCCESS) << host;
    UniqueFd peer = listener_.Accept();
    EXPECT_GE(peer.Get(), 0) << host;
    EXPECT_EQ(socket_.state, SOCK_STATE_CONNECTED);
    EXPECT_STREQ(socket_.host_name, host);
  }
}

// Every failing Connect returns -2 and leaves the socket disconnected, without throwing.
TEST_F(PlainSocketTest, ConnectFailuresReturnMinusTwo) {
  loopback::Listener closed;
  int closed_port = closed.Port();
  closed.Close();
  const std::string overlong(200, 'h');
  struct Case {
    const char* name;
    const char* host;
    int port;
  } cases[] = {
      {"unresolvable", "no-such-host.invalid", 80},
      {"nobody listening", "127.0.0.1", closed_port},
      {"name longer than host_name", overlong.c_str(), 80},
  };
  for (const Case& c : cases) {
    ConnectToPeer();
    EXPECT_EQ(socket_.Connect(c.host, c.port), -2) << c.name;
    EXPECT_EQ(socket_.state, SOCK_STATE_DISCONNECTED) << c.name;
    EXPECT_LT(std::strlen(socket_.host_name), sizeof socket_.host_name) << c.name;
    EXPECT_TRUE(PeerSeesEnd(peer_.Get())) << c.name << ": previous connection not closed";
  }
}

// A refused connect leaves its handle open until the socket is closed.
TEST_F(PlainSocketTest, RefusedConnectKeepsHandleUntilClose) {
  loopback::Listener closed;
  int port = closed.Port();
  closed.Close();
  ASSERT_EQ(socket_.Connect("127.0.0.1", port), -2);
  int kept = socket_.handle;
  EXPECT_TRUE(PlainSocket::IsValidSocket(kept));
  EXPECT_TRUE(IsOpenDescriptor(kept));
  socket_.Close();
  EXPECT_EQ(socket_.handle, INVALID_SOCKET);
}

// Send with length 0 stops at the first 0 byte; an explicit length sends 0 bytes too.
TEST_F(PlainSocketTest, SendDeliversExactBytes) {
  ConnectToPeer();
  const char data[] = "abc\0def";
  EXPECT_EQ(socket_.Send(data, 0), SOCK_SUCCESS);
  EXPECT_EQ(socket_.Send(data, 7), SOCK_SUCCESS);
  EXPECT_EQ(socket_.SendText(""), SOCK_SUCCESS);
  EXPECT_EQ(socket_.SendText(std::string("x\0y", 3)), SOCK_SUCCESS);
  EXPECT_EQ(loopback::ReadExactly(peer_.Get(), 13), std::string("abcabc\0defx\0y", 13));
}

// Send refuses null data and an unconnected socket with their own codes.
TEST_F(PlainSocketTest, SendEntryTests) {
  EXPECT_EQ(socket_.Send("abc", 3), SOCK_DISCONNECTED);
  EXPECT_EQ(socket_.Send(nullptr, 3), SOCK_ERROR);
  ConnectToPeer();
  EXPECT_EQ(socket_.Send(nullptr, 3), SOCK_ERROR);
}

// Sending to a peer that has gone fails with SOCK_ERROR instead of raising SIGPIPE.
TEST_F(PlainSocketTest, SendToVanishedPeerDoesNotRaiseSigpipe) {
  std::signal(SIGPIPE, SIG_DFL);
  ConnectToPeer();
  peer_.Reset();
  std::string block(65536, 'z');
  int result = SOCK_SUCCESS;
  for (int i = 0; i < 200 && result == SOCK_SUCCESS; ++i) {
    result = socket_.SendText(block);
  }
  EXPECT_EQ(result, SOCK_ERROR);
  EXPECT_EQ(socket_.state, SOCK_STATE_CONNECTED);
}

// The delimited reader cuts the stream into the chunks its length allows and keeps leftovers.
TEST_F(PlainSocketTest, ReadToNulChunking) {
  struct Step {
    int result;
    std::string delivered;
    char behind;  // the destination byte at position `length` afterwards
  };
  struct Case {
    const char* name;
    std::string wire;
    int length;
    std::vector<Step> steps;
  } cases[] = {
      {"delimiter before length",
       std::string("ab\0cd\0", 6),
       5,
       {{3, std::string("ab\0", 3), '#'}, {3, std::string("cd\0", 3), '#'}}},
      {"delimiter exactly at length",
       std::string("abcd\0", 5),
       5,
       {{5, std::string("abcd\0", 5), '\0'}}},
      {"delimiter just after length",
       std::string("abcde\0xy\0", 9),
       5,
       {{0, "abcde", '#'}, {1, std::string("\0", 1), '#'}, {3, std::string("xy\0", 3), '#'}}},
      {"delimiter far after length",
       std::string("abcdefghij\0", 11),
       4,
       {{0, "abcd", '#'}, {0, "efgh", '#'}, {3, std::string("ij\0", 3), '#'}}},
      {"no delimiter among the bytes", "abcdefgh", 4, {{0, "abcd", '\0'}, {0, "efgh", '\0'}}},
  };
  for (const Case& c : cases) {
    ConnectToPeer();
    PeerSends(c.wire);
    for (const Step& step : c.steps) {
      std::vector<char> destination(static_cast<std::size_t>(c.length) + 8, '#');
      int result = socket_.ReadToNul(destination.data(), c.length, 1, 0);
      EXPECT_EQ(result, step.result) << c.name;
      std::size_t count = step.result > 0 ? static_cast<std::size_t>(step.result)
                                          : static_cast<std::size_t>(c.length);
      EXPECT_EQ(Bytes(destination.data(), count), step.delivered) << c.name;
      EXPECT_EQ(destination[static_cast<std::size_t>(c.length)], step.behind) << c.name;
    }
    EXPECT_EQ(socket_.recv_count, 0) << c.name;
  }
}

// A time limit that passes with partial data delivers it, ends it with 0 and keeps the connection.
TEST_F(PlainSocketTest, ReadToNulTimeoutDeliversPartialData) {
  ConnectToPeer();
  PeerSends("0123456789");
  char destination[32];
  std::memset(destination, '#', sizeof destination);
  EXPECT_EQ(socket_.ReadToNul(destination, 20, 0, 50000), SOCK_TIMEOUT);
  EXPECT_EQ(Bytes(destination, 11), std::string("0123456789\0", 11));
  EXPECT_EQ(socket_.state, SOCK_STATE_CONNECTED);
  EXPECT_EQ(socket_.recv_count, 0);
}

// A peer that ends the connection while a reader waits: buffered bytes are dropped, nothing
// delivered.
TEST_F(PlainSocketTest, PeerClosingWhileReaderWaits) {
  ConnectToPeer();
  std::thread peer([this] {
    std::this_thread::sleep_for(50ms);
    WriteAll(peer_.Get(), "abc");
    peer_.Reset();
  });
  char destination[16];
  std::memset(destination, '#', sizeof destination);
  int result = socket_.ReadToNul(destination, 10, -1, 0);
  peer.join();
  EXPECT_EQ(result, SOCK_DISCONNECTED);
  EXPECT_EQ(Bytes(destination, 10), std::string(10, '\0'));
  EXPECT_EQ(socket_.state, SOCK_STATE_DISCONNECTED);
  EXPECT_EQ(socket_.recv_count, 0);
}

// A length above the buffer's capacity is served in capped chunks instead of waiting for ever.
TEST_F(PlainSocketTest, ReadToNulCapsOversizedLength) {
  ConnectToPeer();
  std::string wire(70000, 'a');
  wire += '\0';
  std::thread peer([&] { WriteAll(peer_.Get(), wire); });
  std::vector<char> destination(100001);
  EXPECT_EQ(socket_.ReadToNul(destination.data(), 100000, 5, 0), 0);
  EXPECT_EQ(Bytes(destination.data(), RECV_BUFFER_CAPACITY),
            std::string(RECV_BUFFER_CAPACITY, 'a'));
  EXPECT_EQ(socket_.ReadToNul(destination.data(), 100000, 5, 0), 70001 - RECV_BUFFER_CAPACITY);
  peer.join();
}

// The character and text readers search the data as a string and write a 0 behind a cut chunk.
TEST_F(PlainSocketTest, StringReaders) {
  using Reader = int (*)(PlainSocket&, char*, int);
  struct Case {
    const char* name;
    std::string wire;
    int length;
    Reader read;
    int result;
    std::string delivered;
  } cases[] = {
      {"char delimiter", "ab,cd", 10,
       [](PlainSocket& s, char* d, int n) { return s.ReadToChar(d, n, ',', 1, 0); }, 3, "ab,"},
      {"char 0 takes what is buffered", "hello", 10,
       [](PlainSocket& s, char* d, int n) { return s.ReadToChar(d, n, '\0', 1, 0); }, 5, "hello"},
      {"text delimiter", "GET /\r\nrest", 20,
       [](PlainSocket& s, char* d, int n) { return s.ReadToText(d, n, "\r\n", 1, 0); }, 7,
       "GET /\r\n"},
      {"text delimiter beyond length", "abcdef\r\n", 4,
       [](PlainSocket& s, char* d, int n) { return s.ReadToText(d, n, "\r\n", 1, 0); }, 0,
       std::string("abcd\0", 5)},
      {"empty text delimiter refused", "abc", 4,
       [](PlainSocket& s, char* d, int n) { return s.ReadToText(d, n, "", 1, 0); }, SOCK_ERROR, ""},
  };
  for (const Case& c : cases) {
    ConnectToPeer();
    PeerSends(c.wire);
    std::vector<char> destination(static_cast<std::size_t>(c.length) + 1, '#');
    EXPECT_EQ(c.read(socket_, destination.data(), c.length), c.result) << c.name;
    EXPECT_EQ(Bytes(destination.data(), c.delivered.size()), c.delivered) << c.name;
  }
}

// Readers on an unconnected socket: ReadToChar reports SOCK_ERROR, the others SOCK_DISCONNECTED.
TEST_F(PlainSocketTest, ReadersOnUnconnectedSocket) {
  char destination[8];
  EXPECT_EQ(socket_.ReadToNul(destination, 4, 0, 0), SOCK_DISCONNECTED);
  EXPECT_EQ(socket_.ReadToText(destination, 4, "x", 0, 0), SOCK_DISCONNECTED);
  EXPECT_EQ(socket_.ReadToChar(destination, 4, 'x', 0, 0), SOCK_ERROR);
  EXPECT_EQ(socket_.Read(destination, 4, 0, 0), SOCK_DISCONNECTED);
  EXPECT_EQ(socket_.ReadToNul(nullptr, 4, 0, 0), SOCK_ERROR);
  EXPECT_EQ(socket_.ReadToNul(destination, 0, 0, 0), 0);
}

// The text forms hold exactly the delivered bytes, including a full chunk and a partial one.
TEST_F(PlainSocketTest, TextFormsKeepDeliveredBytes) {
  ConnectToPeer();
  PeerSends(std::string("abc\0defgh", 9));
  std::string text = "old";
  EXPECT_EQ(socket_.ReadToNul(text, 10, 1, 0), 4);
  EXPECT_EQ(text, std::string("abc\0", 4));
  EXPECT_EQ(socket_.ReadToNul(text, 3, 1, 0), 0);
  EXPECT_EQ(text, "def");
  EXPECT_EQ(socket_.ReadToNul(text, 10, 0, 20000), SOCK_TIMEOUT);
  EXPECT_EQ(text, "gh");
}

// Read with a 1-microsecond limit on an idle connection returns 0 and stays connected.
TEST_F(PlainSocketTest, ReadWithMicrosecondLimitOnIdleConnection) {
  ConnectToPeer();
  char destination[101];
  EXPECT_EQ(socket_.Read(destination, 100, 0, 1), 0);
  EXPECT_EQ(socket_.state, SOCK_STATE_CONNECTED);
}

// Read without limit gathers bytes that arrive in pieces until it has them all; the bytes
// beyond stay for the next read.
TEST_F(PlainSocketTest, ReadWithoutLimitGathersPieces) {
  ConnectToPeer();
  std::thread peer([this] {
    WriteAll(peer_.Get(), "abc");
    std::this_thread::sleep_for(50ms);
    WriteAll(peer_.Get(), "defghXYZ");
  });
  char destination[9];
  EXPECT_EQ(socket_.Read(destination, 8, -1, 0), 8);
  peer.join();
  EXPECT_EQ(Bytes(destination, 8), "abcdefgh");
  EXPECT_EQ(socket_.Read(destination, 8, 0, 20000), 3);  // the bytes beyond are kept
  EXPECT_EQ(Bytes(destination, 4), std::string("XYZ\0", 4));
}

// Read without limit returns what it gathered when the connection ends first.
TEST_F(PlainSocketTest, ReadWithoutLimitStopsAtEnd) {
  ConnectToPeer();
  std::thread peer([this] {
    WriteAll(peer_.Get(), "abc");
    std::this_thread::sleep_for(50ms);
    peer_.Reset();
  });
  char destination[9];
  EXPECT_EQ(socket_.Read(destination, 8, -1, 0), 3);
  peer.join();
  EXPECT_EQ(Bytes(destination, 4), std::string("abc\0", 4));
  EXPECT_EQ(socket_.state, SOCK_STATE_DISCONNECTED);
}

// IsConnected notices a peer that ended the connection, by close or by reset.
TEST_F(PlainSocketTest, IsConnectedAfterPeerWent) {
  for (bool reset : {false, true}) {
    ConnectToPeer();
    PeerSends("lost");
    if (reset) {
      linger abort_on_close{1, 0};
      setsockopt(peer_.Get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    }
    ASSERT_TRUE(socket_.IsConnected());  // takes in the waiting bytes first
    EXPECT_EQ(socket_.recv_count, 4);
    peer_.Reset();
    pollfd end{socket_.handle, POLLIN, 0};
    ASSERT_EQ(poll(&end, 1, 2000), 1);  // the end has reached our side
    EXPECT_FALSE(socket_.IsConnected()) << "reset " << reset;
    EXPECT_EQ(socket_.state, SOCK_STATE_DISCONNECTED) << "reset " << reset;
    EXPECT_EQ(socket_.recv_count, 0) << "reset " << reset;
  }
}

// WaitForData serves buffered bytes without the network unless forced; an idle forced test times
// out.
TEST_F(PlainSocketTest, WaitForDataBufferedAndIdle) {
  ConnectToPeer();
  EXPECT_EQ(socket_.WaitForData(true, 0, 0), SOCK_TIMEOUT);
  ASSERT_TRUE(socket_.AppendReceived("xyz", 3));
  PeerSends("more");
  EXPECT_EQ(socket_.WaitForData(false, 0, 0), 3);
  EXPECT_EQ(socket_.Pending(), 4);
  EXPECT_EQ(socket_.WaitForData(true, 0, 0), 4);
  EXPECT_STREQ(socket_.recv_buffer, "xyzmore");
}

// A full buffer reads nothing more, and AppendReceived refuses what does not fit.
TEST_F(PlainSocketTest, FullBufferReadsNothing) {
  EXPECT_EQ(socket_.Pending(), -1);
  ConnectToPeer();
  std::string fill(RECV_BUFFER_CAPACITY, 'f');
  ASSERT_TRUE(socket_.AppendReceived(fill.data(), RECV_BUFFER_CAPACITY));
  EXPECT_FALSE(socket_.AppendReceived("x", 1));
  EXPECT_EQ(socket_.recv_buffer[RECV_BUFFER_CAPACITY], '\0');
  PeerSends("w");
  EXPECT_EQ(socket_.FillBuffer(), RECV_BUFFER_CAPACITY);
  EXPECT_EQ(socket_.Pending(), 1);
}

// CommitReceived stays inside the buffer and restores the 0 behind the data.
TEST_F(PlainSocketTest, CommitReceivedKeepsInvariant) {
  auto [space, at] = socket_.ReceiveSpace();
  ASSERT_EQ(space, RECV_BUFFER_CAPACITY);
  std::memcpy(at, "abcX", 4);
  EXPECT_EQ(socket_.CommitReceived(3), 3);
  EXPECT_STREQ(socket_.recv_buffer, "abc");
  EXPECT_EQ(socket_.CommitReceived(RECV_BUFFER_SIZE), RECV_BUFFER_CAPACITY - 3);
  EXPECT_EQ(socket_.recv_count, RECV_BUFFER_CAPACITY);
}

// An owned attached handle is shut down and closed by Close; a borrowed one outlives the socket.
TEST_F(PlainSocketTest, AttachOwnedAndBorrowed) {
  auto [owned, owned_peer] = loopback::MakeSocketPair();
  ASSERT_EQ(socket_.Attach(owned.Release(), false), SOCK_SUCCESS);
  EXPECT_EQ(socket_.state, SOCK_STATE_CONNECTED);
  socket_.Close();
  EXPECT_TRUE(PeerSeesEnd(owned_peer.Get()));

  auto [lent, lent_peer] = loopback::MakeSocketPair();
  {
    PlainSocket borrower;
    ASSERT_EQ(borrower.Attach(lent.Get(), true), SOCK_SUCCESS);
    EXPECT_EQ(borrower.Send("hi", 2), SOCK_SUCCESS);
  }
  EXPECT_TRUE(IsOpenDescriptor(lent.Get()));
  EXPECT_TRUE(WriteAll(lent.Get(), "!"));
  EXPECT_EQ(loopback::ReadExactly(lent_peer.Get(), 3), "hi!");
}

// A Connect after a borrowed Attach owns its new handle: Close shuts it down and closes it.
TEST_F(PlainSocketTest, ConnectAfterBorrowedAttachOwnsHandle) {
  auto [lent, lent_peer] = loopback::MakeSocketPair();
  ASSERT_EQ(socket_.Attach(lent.Get(), true), SOCK_SUCCESS);
  ConnectToPeer();
  EXPECT_TRUE(IsOpenDescriptor(lent.Get()));
  socket_.Close();
  EXPECT_TRUE(PeerSeesEnd(peer_.Get()));
}

// Attach closes the previous handle under the new borrowed flag, and refuses an invalid handle.
TEST_F(PlainSocketTest, AttachReplacingPreviousHandle) {
  auto [first, first_peer] = loopback::MakeSocketPair();
  auto [second, second_peer] = loopback::MakeSocketPair();
  int first_raw = first.Release();
  ASSERT_EQ(socket_.Attach(first_raw, false), SOCK_SUCCESS);
  ASSERT_EQ(socket_.Attach(second.Get(), true), SOCK_SUCCESS);
  EXPECT_TRUE(IsOpenDescriptor(first_raw)) << "closed although the new flag is borrowed";
  first.Reset(first_raw);

  ASSERT_EQ(socket_.Attach(second.Release(), false), SOCK_SUCCESS);
  EXPECT_EQ(socket_.Attach(0, false), SOCK_ERROR);
  EXPECT_EQ(socket_.state, SOCK_STATE_DISCONNECTED);
  EXPECT_TRUE(PeerSeesEnd(second_peer.Get()));
  EXPECT_EQ(socket_.Attach(-7, false), SOCK_ERROR);
}

// What is done to the socket after a receive error.
enum class AfterError { Close, Connect, Attach };

class PlainSocketAfterErrorTest : public PlainSocketTest,
                                  public ::testing::WithParamInterface<AfterError> {};

// An unexpected receive error sets the error state, which Close keeps together with the
// buffer. A connection made afterwards, by Connect or by Attach, serves only its own peer's
// bytes: what the failed connection left buffered is gone.
TEST_P(PlainSocketAfterErrorTest, FailedConnectionsBuffer) {
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  UniqueFd read_end(pipe_ends[0]);
  UniqueFd write_end(pipe_ends[1]);
  ASSERT_EQ(socket_.Attach(read_end.Get(), true), SOCK_SUCCESS);
  ASSERT_EQ(write(write_end.Get(), "x", 1), 1);
  ASSERT_EQ(socket_.WaitForData(true, 1, 0), SOCK_ERROR);  // recv() on a pipe: ENOTSOCK
  EXPECT_EQ(socket_.state, SOCK_STATE_ERROR);
  auto [space, at] = socket_.ReceiveSpace();
  ASSERT_GE(space, 4);
  std::memcpy(at, "kept", 4);
  socket_.CommitReceived(4);

  if (GetParam() == AfterError::Close) {
    socket_.Close();
    EXPECT_EQ(socket_.state, SOCK_STATE_ERROR);
    EXPECT_EQ(socket_.recv_count, 4);
    EXPECT_STREQ(socket_.recv_buffer, "kept");
  }
  if (GetParam() == AfterError::Attach) {
    auto [mine, theirs] = loopback::MakeSocketPair();
    ASSERT_EQ(socket_.Attach(mine.Release(), false), SOCK_SUCCESS);
    peer_ = std::move(theirs);
  } else {
    ConnectToPeer();
  }
  EXPECT_EQ(socket_.state, SOCK_STATE_CONNECTED);
  ASSERT_TRUE(WriteAll(peer_.Get(), std::string("fresh\0", 6)));
  char text[32];
  EXPECT_EQ(socket_.ReadToNul(text, 31, 5, 0), 6);
  EXPECT_STREQ(text, "fresh");
}

INSTANTIATE_TEST_SUITE_P(Steps, PlainSocketAfterErrorTest,
                         ::testing::Values(AfterError::Close, AfterError::Connect,
                                           AfterError::Attach),
                         [](const auto& row) {
                           switch (row.param) {
                             case AfterError::Close:
                               return std::string("Close");
                             case AfterError::Connect:
                               return std::string("Connect");
                             default:
                               return std::string("Attach");
                           }
                         });

// SendFile by name and by open handle delivers a multi-megabyte file byte for byte.
TEST_F(PlainSocketTest, SendFileArrivesByteExact) {
  std::string path = ::testing::TempDir() + "plain_socket_sendfile.bin";
  std::string content(5 * 1024 * 1024 + 123, '\0');
  std::mt19937 random(7);
  for (char& c : content) {
    c = static_cast<char>(random());
  }
  std::ofstream(path, std::ios::binary).write(content.data(), static_cast<long>(content.size()));

  for (bool by_handle : {false, true}) {
    ConnectToPeer();
    std::string received;
    std::thread reader([&] { received = loopback::ReadExactly(peer_.Get(), content.size()); });
    UniqueFd file(by_handle ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    int result = by_handle ? socket_.SendFile(file.Get()) : socket_.SendFile(path.c_str());
    reader.join();
    EXPECT_EQ(result, SOCK_SUCCESS) << "by handle " << by_handle;
    EXPECT_TRUE(received == content) << "by handle " << by_handle;
    EXPECT_EQ(socket_.bytes_sent, content.size());
    EXPECT_EQ(socket_.file_size, content.size());
    EXPECT_FALSE(socket_.sending_file);
  }
  std::remove(path.c_str());
}

// SendFile's entry tests and a file that cannot be opened.
TEST_F(PlainSocketTest, SendFileFailures) {
  EXPECT_EQ(socket_.SendFile("/nonexistent/file"), SOCK_DISCONNECTED);
  EXPECT_EQ(socket_.SendFile(FileHandle{0}), SOCK_ERROR);
  ConnectToPeer();
  EXPECT_EQ(socket_.SendFile("/nonexistent/file"), SOCK_ERROR);
  EXPECT_EQ(socket_.SendFile(FileHandle{-1}), SOCK_ERROR);
  EXPECT_EQ(socket_.state, SOCK_STATE_CONNECTED);
}

// SendFile to a peer that has gone fails without SIGPIPE, leaving no signal pending or blocked.
TEST_F(PlainSocketTest, SendFileToVanishedPeerDoesNotRaiseSigpipe) {
  std::signal(SIGPIPE, SIG_DFL);
  std::string path = ::testing::TempDir() + "plain_socket_sigpipe.bin";
  std::ofstream(path, std::ios::binary) << std::string(8 * 1024 * 1024, 'p');
  ConnectToPeer();
  peer_.Reset();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(socket_.SendFile(path.c_str()), SOCK_ERROR);
  EXPECT_LT(socket_.bytes_sent, 8u * 1024 * 1024);
  sigset_t pending;
  sigset_t blocked;
  sigpending(&pending);
  pthread_sigmask(SIG_SETMASK, nullptr, &blocked);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
  EXPECT_EQ(sigismember(&blocked, SIGPIPE), 0);
  std::remove(path.c_str());
}

namespace {
void IgnoreSignal(int) {}
}  // namespace

// Signals arriving while a reader waits neither fail the wait nor stretch or cut its limit.
TEST_F(PlainSocketTest, WaitResumesAfterSignals) {
  struct sigaction action {};
  action.sa_handler = IgnoreSignal;  // no SA_RESTART: the wait really is interrupted
  struct sigaction previous {};
  sigaction(SIGUSR1, &action, &previous);
  ConnectToPeer();
  pthread_t reader = pthread_self();
  for (bool data_arrives : {true, false}) {
    std::thread interrupter([&] {
      for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(10ms);
        pthread_kill(reader, SIGUSR1);
      }
      if (data_arrives) {
        WriteAll(peer_.Get(), std::string("ok\0", 3));
      }
    });
    char destination[11];
    int result =
        socket_.ReadToNul(destination, 10, data_arrives ? 5 : 0, data_arrives ? 0 : 150000);
    interrupter.join();
    EXPECT_EQ(result, data_arrives ? 3 : SOCK_TIMEOUT);
    EXPECT_EQ(socket_.state, SOCK_STATE_CONNECTED);
  }
  sigaction(SIGUSR1, &previous, nullptr);
}

// A descriptor numbered above what a select set holds is waited on correctly.
TEST_F(PlainSocketTest, WaitsOnDescriptorAboveSelectLimit) {
  const int high = FD_SETSIZE + 100;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur <= static_cast<rlim_t>(high)) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, high + 1);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  auto [near, far_peer] = loopback::MakeSocketPair();
  int far = fcntl(near.Get(), F_DUPFD_CLOEXEC, high);
  if (far < 0) {
    GTEST_SKIP() << "cannot open descriptor " << high;
  }
  ASSERT_GE(far, FD_SETSIZE);
  ASSERT_EQ(socket_.Attach(far, false), SOCK_SUCCESS);
  EXPECT_EQ(socket_.WaitForData(true, 0, 1000), SOCK_TIMEOUT);
  ASSERT_TRUE(WriteAll(far_peer.Get(), std::string("far\0", 4)));
  char destination[9];
  EXPECT_EQ(socket_.ReadToNul(destination, 8, 1, 0), 4);
  EXPECT_STREQ(destination, "far");
}
