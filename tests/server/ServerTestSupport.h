// Connections to a HospdProcess as the client makes them, for the server tests.
#pragma once

#include <memory>
#include <string>

#include "HospdProcess.h"
#include "NameValueList.h"
#include "dbServerConnection.h"

// Answers are awaited at most this many seconds, so that a silent server fails a test
// instead of hanging it.
constexpr int kAnswerSeconds = 10;

inline std::unique_ptr<dbServerConnection> OpenDataConnection(
    const HospdProcess& server, const std::string& program = "Pellomarquin") {
  return std::make_unique<dbServerConnection>("127.0.0.1", std::to_string(server.DataPort()),
                                              program, "", true, kAnswerSeconds);
}

inline std::unique_ptr<dbServerConnection> OpenFunctionConnection(const HospdProcess& server) {
  return std::make_unique<dbServerConnection>("127.0.0.1", std::to_string(server.FunctionPort()),
                                              "", "", false, kAnswerSeconds);
}

inline NameValueList Fields(const std::string& line) {
  NameValueList fields;
  fields.Add(line);
  return fields;
}
