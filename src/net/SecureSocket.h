// The TLS form of the socket contract, over OpenSSL.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "DeadlinePoll.h"
#include "PlainSocket.h"
#include "ServerIdentity.h"

struct ssl_st;
struct bio_st;

class SecureSocket : public PlainSocket {
 public:
  // `context` is shared and never freed by the socket; with none the socket makes and owns its own.
  // Throws TextException "CTX == NULL" when that context cannot be made.
  explicit SecureSocket(ssl_ctx_st* context = nullptr);

  ~SecureSocket() override;                                             // 0
  int Connect(const char* host, int port) override;                     // 1
  void Close() override;                                                // 2
  int Attach(SocketHandle socket, bool borrow) override;                // 3
  int Pending() override;                                               // 4
  int SendText(std::string text) override;                              // 5
  int Send(const char* data, int length) override;                      // 6
  int SendFile(const char* file_name) override;                         // 7
  int SendFile(FileHandle file) override;                               // 8
  int WaitForData(bool force, int seconds, int microseconds) override;  // 16
  int FillBuffer() override;                                            // 17
  void Init(ssl_ctx_st* context) override;                              // 18
  void Cleanup() override;                                              // 19

  using PlainSocket::ReadToChar;
  using PlainSocket::ReadToNul;
  using PlainSocket::ReadToText;

  // A context from the version-flexible method; each argument may be null and is used when given.
  // Returns nullptr on any failure (the reason goes no further); the caller owns the context.
  static ssl_ctx_st* CreateContext(const char* certificate_file, const char* key_file,
                                   const char* pass_phrase, const char* authority_file);
  // Hands the pass phrase in `user_data` to the library when `buffer` can hold it with its 0.
  static int PasswordCallback(char* buffer, int size, int direction, void* user_data);
  // The library's process-wide start-up; runs once however often it is called.
  static void InitTLSLibrary();

  // Replaces `ssl` and `bio` by a fresh pair over `handle`; throws TextException when it cannot,
  // and then leaves no session at all.
  void CreateSession();
  // The client handshake over the connected `handle`.
  int TLSConnect(const char* host);
  // Decrypts the next application bytes into the free space of `recv_buffer`, waiting for the
  // socket until `deadline`. Returns the bytes taken in, 0 when the connection ended (it is then
  // closed), SOCK_TIMEOUT when the deadline passed first, or SOCK_ERROR when the wait failed.
  int ReadRecord(const Deadline& deadline);

  // Fields added to PlainSocket's, in order.
  ssl_ctx_st* ssl_ctx = nullptr;
  ssl_st* ssl = nullptr;
  bio_st* bio = nullptr;
  bool owns_ctx = false;

  // What the client demands of the server's certificate; by default nothing, as specified.
  // A connection whose server fails the demand ends before any byte of data is sent.
  ServerIdentity server_identity;
  // Set by each client handshake: true when it failed because of server_identity.
  bool identity_refused = false;

 private:
  void FreeSession();
  void NameServer(const char* host);
  void SendCloseAlert();
  int SendOpenFile(FileHandle file);
  int SendFileChunks(FileHandle file, unsigned long long size);
};
