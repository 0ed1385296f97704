// Serves one function-server connection: NUL-terminated JSON texts in, one answer each.
#include "net/FunctionSession.h"

#include <string>

#include "net/SessionChannel.h"
#include "service/ServiceContext.h"

FunctionSession::FunctionSession(SessionChannel& channel, ServiceContext& context)
    : channel_(channel), service_(*context.store, context.sessions.get()) {}

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
    const ServiceAnswer answer = service_.Answer(request);
    if (!answer.failure.empty()) channel_.LogFailure("JSON request", answer.failure);
    if (!service_.Notice().empty()) channel_.LogNotice("JSON request", service_.Notice());
    if (!channel_.SendAnswer(answer.text)) {
      end_reason = channel_.SendFailure();
      break;
    }
  }
  channel_.LogEnd(requests, end_reason);
}
