// Recorders that stand in for the user interface in the connection tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dbServerConnection.h"
#include "dbUserInterface.h"

// Fills the user-interface hooks with recorders for one test and empties them afterwards.
class UiRecorder {
 public:
  UiRecorder() {
    messages.clear();
    events = 0;
    dbUserInterface::ShowMessage = [](const std::string& text, const std::string& caption) {
      messages.emplace_back(text, caption);
    };
    dbUserInterface::ProcessEvents = [] { ++events; };
  }
  ~UiRecorder() {
    dbUserInterface::ShowMessage = nullptr;
    dbUserInterface::ProcessEvents = nullptr;
  }
  UiRecorder(const UiRecorder&) = delete;
  UiRecorder& operator=(const UiRecorder&) = delete;

  static inline std::vector<std::pair<std::string, std::string>> messages;
  static inline int events = 0;
};

// Remembers every maximum and position a download reports.
class ProgressRecorder final : public dbProgressBar {
 public:
  void SetMax(int maximum) override { maxima.push_back(maximum); }
  void SetPosition(int position) override { positions.push_back(position); }

  std::vector<int> maxima;
  std::vector<int> positions;
};

// Puts a socket maker in place for one test and takes it out afterwards.
class SocketMakerGuard {
 public:
  explicit SocketMakerGuard(std::unique_ptr<PlainSocket> (*maker)(bool)) {
    dbServerConnection::SocketMaker = maker;
  }
  ~SocketMakerGuard() { dbServerConnection::SocketMaker = nullptr; }
  SocketMakerGuard(const SocketMakerGuard&) = delete;
  SocketMakerGuard& operator=(const SocketMakerGuard&) = delete;
};
