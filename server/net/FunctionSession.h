// Serves one function-server connection: NUL-terminated JSON texts in, one answer each.
#pragma once

#include "ops/Metrics.h"
#include "service/FunctionService.h"

class SessionChannel;
struct ServiceContext;

class FunctionSession {
 public:
  // Each request is counted in `metrics`, with its outcome and time.
  FunctionSession(SessionChannel& channel, ServiceContext& context, Metrics& metrics);

  // Answers texts until the peer leaves, falls silent, floods or a send fails.
  void Run();

 private:
  SessionChannel& channel_;
  FunctionService service_;
  Metrics& metrics_;
};
