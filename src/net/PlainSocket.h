// One TCP connection with its own receive buffer: the socket contract and its plain TCP form.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include <sys/select.h>

struct ssl_ctx_st;  // the TLS context; only SecureSocket knows it

using SocketHandle = int;
using FileHandle = int;  // an open file descriptor; negative means none

constexpr SocketHandle INVALID_SOCKET = -1;

constexpr int SOCK_SUCCESS = 0;
constexpr int SOCK_ERROR = -1;
constexpr int SOCK_TIMEOUT = -2;
constexpr int SOCK_DISCONNECTED = -3;

constexpr int SOCK_STATE_CONNECTED = 1;
constexpr int SOCK_STATE_DISCONNECTED = 0;
constexpr int SOCK_STATE_ERROR = -1;

constexpr int RECV_BUFFER_SIZE = 65536;
// One byte of the buffer always holds the 0 behind the data.
constexpr int RECV_BUFFER_CAPACITY = RECV_BUFFER_SIZE - 1;

// Waits that a caller wants to interrupt (to keep a window alive, to give up) are cut into
// slices of this length; between two slices the caller is asked whether to go on.
constexpr int WAIT_SLICE_MICROSECONDS = 50000;

class PlainSocket {
 public:
  PlainSocket();
  PlainSocket(const PlainSocket&) = delete;
  PlainSocket& operator=(const PlainSocket&) = delete;

  // The virtual operations, in their fixed slot order.
  virtual ~PlainSocket();                                                               // 0
  virtual int Connect(const char* host, int port);                                      // 1
  virtual void Close();                                                                 // 2
  virtual int Attach(SocketHandle socket, bool borrow);                                 // 3
  virtual int Pending();                                                                // 4
  virtual int SendText(std::string text);                                               // 5
  virtual int Send(const char* data, int length);                                       // 6
  virtual int SendFile(const char* file_name);                                          // 7
  virtual int SendFile(FileHandle file);                                                // 8
  virtual int ReadToNul(std::string& text, int length, int seconds, int microseconds);  // 9
  virtual int ReadToChar(std::string& text, int length, char delimiter, int seconds,
                         int microseconds);  // 10
  virtual int ReadToText(std::string& text, int length, const char* delimiter, int seconds,
                         int microseconds);                                // 11
  virtual bool AppendReceived(const char* data, int length);               // 12
  virtual std::pair<int, char*> ReceiveSpace();                            // 13
  virtual int CommitReceived(int n);                                       // 14
  virtual int TakeReceived(char* destination, unsigned length, bool raw);  // 15
  virtual int WaitForData(bool force, int seconds, int microseconds);      // 16
  virtual int FillBuffer();                                                // 17
  virtual void Init(ssl_ctx_st* context);                                  // 18
  virtual void Cleanup();                                                  // 19

  // Shared, not virtual. Destinations hold length + 1 bytes.
  int Read(char* destination, int length, int seconds, int microseconds);
  int ReadToNul(char* destination, int length, int seconds, int microseconds);
  int ReadToChar(char* destination, int length, char delimiter, int seconds, int microseconds);
  int ReadToText(char* destination, int length, const char* delimiter, int seconds,
                 int microseconds);
  int ReadToByte(char* destination, int length, char delimiter, int seconds, int microseconds);
  bool IsConnected();
  int TCPConnect(const char* host, int port);
  void ApplySocketOptions();
  void CloseSocket();
  void ClearBuffer();
  bool EnsureBuffer();
  static bool IsValidSocket(SocketHandle socket);

  // Fields, in order.
  SocketHandle handle = 0;
  char host_name[128] = {};
  std::uint32_t derived_cleanup = 0;
  bool sending_file = false;
  std::uint32_t bytes_sent = 0;
  std::uint32_t file_size = 0;
  std::int32_t state = SOCK_STATE_DISCONNECTED;
  char* recv_buffer = nullptr;
  std::int32_t recv_count = 0;
  fd_set read_set{};
  bool borrowed = false;
  // Asked between the slices of a TCP connect and of a TLS client handshake; false gives
  // the connect up (it fails). Unset: those waits last as long as the system lets them.
  std::function<bool()> wait_hook;
};
