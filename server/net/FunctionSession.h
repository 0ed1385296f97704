// Serves one function-server connection: NUL-terminated JSON texts in, one answer each.
#pragma once

#include "service/FunctionService.h"

class SessionChannel;
struct ServiceContext;

class FunctionSession {
 public:
  FunctionSession(SessionChannel& channel, ServiceContext& context);

  // Answers texts until the peer leaves, falls silent, floods or a send fails.
  void Run();

 private:
  SessionChannel& channel_;
  FunctionService service_;
};
