// The TLS form of the socket contract, over OpenSSL.
#pragma once

#include "PlainSocket.h"

struct ssl_st;
struct bio_st;

class SecureSocket : public PlainSocket {
public:
  // `context` is shared and never freed by the socket; with none the socket makes and owns its own.
  explicit SecureSocket(ssl_ctx_st* context = nullptr);

  ~SecureSocket() override;                                                     // 0
  int Connect(const char* host, int port) override;                             // 1
  void Close() override;                                                        // 2
  int Attach(SocketHandle socket, bool borrow) override;                        // 3
  int Pending() override;                                                       // 4
  int SendText(std::string text) override;                                      // 5
  int Send(const char* data, int length) override;                              // 6
  int SendFile(const char* file_name) override;                                 // 7
  int SendFile(FileHandle file) override;                                       // 8
  int WaitForData(bool force, int seconds, int microseconds) override;          // 16
  int FillBuffer() override;                                                    // 17
  void Init(ssl_ctx_st* context) override;                                      // 18
  void Cleanup() override;                                                      // 19

  using PlainSocket::ReadToChar;
  using PlainSocket::ReadToNul;
  using PlainSocket::ReadToText;

  // A context from the version-flexible method; each argument may be null and is used when given.
  // Returns nullptr on any failure (the reason goes no further).
  static ssl_ctx_st* CreateContext(const char* certificate_file, const char* key_file,
                                   const char* pass_phrase, const char* authority_file);
  static int PasswordCallback(char* buffer, int size, int direction, void* user_data);
  static void InitTLSLibrary();

  void CreateSession();
  int TLSConnect(const char* host);
  int ReadRecord();

  // Fields added to PlainSocket's, in order.
  ssl_ctx_st* ssl_ctx = nullptr;
  ssl_st* ssl = nullptr;
  bio_st* bio = nullptr;
  bool owns_ctx = false;
};
