// Serves one function-server connection: NUL-terminated JSON texts in, one answer each.
#include "net/FunctionSession.h"

#include <chrono>
#include <string>

#include "net/SessionChannel.h"
#include "service/ServiceContext.h"

FunctionSession::FunctionSession(SessionChannel& channel, ServiceContext& context, Metrics& metrics)
    : channel_(channel), service_(*context.store, context.sessions.get()), metrics_(metrics) {}

void FunctionSession::Run() {
  int requests = 0;
  std::string request;
  std::string end_reason;
  for (;;) {
    const ReadStatus status = channel_.ReadToNul(request, kMaxRequestBytes);
    if (status != ReadStatus::Done) {
      end_reason = SessionChannel::Describe(status);
      if (status == ReadStatus::TooLong) channel_.LogFailure("JSON request", end_reason);
      break;
    }
    ++requests;
    const auto started = std::chrono::steady_clock::now();
    const ServiceAnswer answer = service_.Answer(request);
    if (!answer.failure.empty()) channel_.LogFailure("JSON request", answer.failure);
    if (!service_.Notice().empty()) channel_.LogNotice("JSON request", service_.Notice());
    const bool sent = channel_.SendAnswer(answer.text);
    metrics_.Request(RequestKind::Function, sent && answer.failure.empty(),
                     std::chrono::steady_clock::now() - started);
    if (!sent) {
      end_reason = channel_.SendFailure();
      break;
    }
  }
  channel_.LogEnd(requests, end_reason);
}
