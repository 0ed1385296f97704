// Serves one data-server connection: reads frames with their limits, answers each in order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ops/Metrics.h"
#include "service/DataService.h"

class SessionChannel;
struct ServiceContext;

class DataSession {
 public:
  // Each request is counted in `metrics`, with its kind, outcome and time.
  DataSession(SessionChannel& channel, ServiceContext& context, std::string remote_ip,
              Metrics& metrics);

  // Answers frames until the peer leaves, falls silent, sends a malformed frame or a send fails.
  void Run();

 private:
  struct Frame {
    std::int32_t type = 0;
    std::int32_t subtype = 0;
    std::string text;
  };

  // The next frame, or nothing with the reason for ending the connection in `end_reason`.
  std::optional<Frame> ReadFrame(std::string& end_reason);
  // False when the connection must end.
  bool Serve(const Frame& frame);
  bool SendAnswer(std::string_view what, const ServiceAnswer& answer);
  bool SendDownload(std::string_view remote_name);
  bool SendFileBytes(const ClientFile& file);

  SessionChannel& channel_;
  DataService service_;
  Metrics& metrics_;
  int requests_ = 0;
  bool refused_ = false;  // the current request was refused or failed
};
