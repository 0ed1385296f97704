// Scripts and helpers shared by the connection tests.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DataFrame.h"
#include "ScriptedServer.h"
#include "dbServerConnection.h"

inline constexpr const char* kProgram = "Pellomarquin";
inline constexpr int kTestTimeout = 10;  // bounded answers, so a failing test cannot hang

inline std::unique_ptr<dbServerConnection> OpenData(const ScriptedServer& server) {
  return std::make_unique<dbServerConnection>("127.0.0.1", server.PortText(), kProgram, "",
                                              server.Tls(), kTestTimeout);
}

inline std::unique_ptr<dbServerConnection> OpenFunction(const ScriptedServer& server) {
  return std::make_unique<dbServerConnection>("127.0.0.1", server.PortText(), "", "", false,
                                              kTestTimeout);
}

// Answers one frame per text of `answers`, in order.
inline Script AnswerFrames(std::vector<std::string> answers) {
  return [answers](ServerPeer& peer) {
    for (const std::string& answer : answers) {
      Frame frame;
      if (!peer.ReadFrame(frame) || !peer.Answer(answer)) return;
    }
  };
}

// The handshake, then one answer per further frame.
inline Script HandshakeThen(std::vector<std::string> answers) {
  return [answers](ServerPeer& peer) {
    if (peer.AcceptHandshake()) AnswerFrames(answers)(peer);
  };
}

inline std::string HandshakeFrame() {
  return EncodeFrameHeader({23, FrameType::Handshake, FrameSubtype::None}) +
         "ProgramID=Pellomarquin" + std::string(1, '\0');
}

// A text whose every position is told apart from its neighbours, so a lost or doubled
// chunk shows.
inline std::string Patterned(std::size_t size) {
  std::string text;
  text.reserve(size);
  for (std::size_t i = 0; text.size() < size; ++i) text += std::to_string(i % 100000) + ";";
  text.resize(size);
  return text;
}

// Polls a condition for up to five seconds.
template <typename Condition>
inline bool WaitUntil(Condition condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Names the two transports of the tests that run over both.
inline std::string TransportName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Tls" : "Plain";
}
