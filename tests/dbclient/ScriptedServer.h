// A loopback server for the connection tests: answers from a script and records every byte it
// receives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "PlainSocket.h"

struct ssl_ctx_st;

// One request frame as the server read it.
struct Frame {
  std::int32_t length = 0;
  std::int32_t type = 0;
  std::int32_t subtype = 0;
  std::string text;  // without its closing NUL
  std::string raw;   // the whole frame, header included
};

class ScriptedServer;

// The server's side of one accepted connection, as a script sees it. Every wait is
// bounded, so a script never outlives its test by much.
class ServerPeer {
 public:
  ServerPeer(ScriptedServer& server, int index, std::unique_ptr<PlainSocket> socket);

  // False when no whole frame arrives in time or the client goes away.
  bool ReadFrame(Frame& frame);
  // Reads a bare text up to its NUL.
  bool ReadText(std::string& text);
  bool Send(std::string_view bytes);
  // Sends the text and its closing NUL.
  bool Answer(std::string_view text);
  // Answers a handshake frame with an accepting answer; false when no frame came.
  bool AcceptHandshake();
  // Ends the connection from the server's side.
  void Close();
  // Keeps reading (and recording) until the client closes or the server stops.
  bool WaitForClose();

 private:
  bool ReadExactly(char* destination, int count);

  ScriptedServer& server_;
  int index_;
  std::unique_ptr<PlainSocket> socket_;
  bool closed_by_server_ = false;
};

using Script = std::function<void(ServerPeer&)>;

class ScriptedServer {
 public:
  // Listens on 127.0.0.1 at a port the system chooses; with `tls`, every accepted
  // connection runs the server side of a TLS handshake first.
  explicit ScriptedServer(bool tls);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // The script for the next connection not yet given one; connections without a
  // script are closed at once.
  void Expect(Script script);

  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  bool Tls() const { return context_ != nullptr; }
  // The SHA-256 fingerprint of the TLS certificate, as "Fingerprint" in "Hosp.ini" pins it.
  std::string Fingerprint() const;

  // Connections accepted so far.
  int Connections() const;
  // Every byte received on connection `index` so far.
  std::string Received(int index) const;
  // Whether connection `index` has seen the client close it.
  bool ClientClosed(int index) const;
  // Waits (bounded) until `count` connections have been accepted.
  bool WaitForConnections(int count) const;

  bool Stopping() const { return stop_; }
  void Record(int index, std::string_view bytes);
  void MarkClosed(int index);

 private:
  void AcceptLoop();
  void Serve(int fd, int index, Script script);

  int listener_ = -1;
  int port_ = 0;
  ssl_ctx_st* context_ = nullptr;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<Script> scripts_;
  std::vector<std::string> received_;
  std::vector<bool> closed_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};
