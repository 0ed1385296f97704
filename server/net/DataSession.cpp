// Serves one data-server connection: reads frames with their limits, answers each in order.
#include "net/DataSession.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <vector>

#include "DataFrame.h"
#include "RetryOnEintr.h"
#include "net/SessionChannel.h"
#include "service/ServiceContext.h"

namespace {

constexpr int kHeaderBytes = static_cast<int>(kFrameHeaderSize);
constexpr std::size_t kFileBlock = 65536;

std::string RequestName(int type, int subtype) {
  if (type == FrameType::Handshake && subtype == FrameSubtype::None) return "handshake";
  if (type == FrameType::Date && subtype == FrameSubtype::None) return "date request";
  if (type == FrameType::Table && subtype == FrameSubtype::TableQuery) return "table query";
  if (type == FrameType::Table && subtype == FrameSubtype::RecordUpdate) return "record update";
  if (type == FrameType::File && subtype == FrameSubtype::FileInfo) return "file size and date";
  if (type == FrameType::File && subtype == FrameSubtype::FileDownload) return "file download";
  return "request " + std::to_string(type) + "/" + std::to_string(subtype);
}

RequestKind KindOf(int type, int subtype) {
  if (type == FrameType::Handshake && subtype == FrameSubtype::None) return RequestKind::Handshake;
  if (type == FrameType::Date && subtype == FrameSubtype::None) return RequestKind::Date;
  if (type == FrameType::Table && subtype == FrameSubtype::TableQuery) {
    return RequestKind::TableQuery;
  }
  if (type == FrameType::Table && subtype == FrameSubtype::RecordUpdate) {
    return RequestKind::RecordUpdate;
  }
  if (type == FrameType::File && subtype == FrameSubtype::FileInfo) return RequestKind::FileInfo;
  if (type == FrameType::File && subtype == FrameSubtype::FileDownload) {
    return RequestKind::FileDownload;
  }
  return RequestKind::Unknown;
}

}  // namespace

DataSession::DataSession(SessionChannel& channel, ServiceContext& context, std::string remote_ip,
                         Metrics& metrics)
    : channel_(channel), service_(context, std::move(remote_ip)), metrics_(metrics) {}

void DataSession::Run() {
  std::string end_reason;
  while (auto frame = ReadFrame(end_reason)) {
    ++requests_;
    refused_ = false;
    const auto started = std::chrono::steady_clock::now();
    const bool sent = Serve(*frame);
    metrics_.Request(KindOf(frame->type, frame->subtype), sent && !refused_,
                     std::chrono::steady_clock::now() - started);
    if (!sent) {
      end_reason = channel_.SendFailure();
      break;
    }
  }
  channel_.LogEnd(requests_, end_reason);
}

std::optional<DataSession::Frame> DataSession::ReadFrame(std::string& end_reason) {
  std::array<char, kHeaderBytes + 1> header{};
  ReadStatus status = channel_.ReadExactly(header.data(), kHeaderBytes);
  if (status != ReadStatus::Done) {
    end_reason = SessionChannel::Describe(status);
    return std::nullopt;
  }
  Frame frame;
  const FrameHeader decoded = DecodeFrameHeader(header.data());
  const std::int32_t length = decoded.length;
  frame.type = decoded.type;
  frame.subtype = decoded.subtype;
  // The length counts the text and its NUL: below 1 or above the limit, the frame is garbage.
  if (length < 1 || length > kMaxRequestBytes) {
    end_reason = "bad frame length " + std::to_string(length);
    channel_.LogFailure(RequestName(frame.type, frame.subtype), end_reason);
    return std::nullopt;
  }
  if (!service_.Accepted() && length > kMaxRequestBytesBeforeHandshake) {
    end_reason = "frame of " + std::to_string(length) + " bytes before the handshake (at most " +
                 std::to_string(kMaxRequestBytesBeforeHandshake) + ")";
    channel_.LogFailure(RequestName(frame.type, frame.subtype), end_reason);
    return std::nullopt;
  }
  std::vector<char> text;
  status = channel_.ReadGrowing(text, length);
  if (status != ReadStatus::Done) {
    end_reason = "incomplete frame (" + std::string(SessionChannel::Describe(status)) + ")";
    channel_.LogFailure(RequestName(frame.type, frame.subtype), end_reason);
    return std::nullopt;
  }
  if (text[static_cast<std::size_t>(length) - 1] != '\0') {
    end_reason = "request text without its NUL";
    channel_.LogFailure(RequestName(frame.type, frame.subtype), end_reason);
    return std::nullopt;
  }
  frame.text = text.data();  // up to the first NUL, as the client's C text ends there
  return frame;
}

bool DataSession::Serve(const Frame& frame) {
  const std::string what = RequestName(frame.type, frame.subtype);
  // Only subtype 0 of these two is known; any other would pass for a handshake or date.
  if (frame.type == FrameType::Handshake && frame.subtype == FrameSubtype::None) {
    return SendAnswer(what, service_.Handshake(frame.text));
  }
  if (frame.type == FrameType::Date && frame.subtype == FrameSubtype::None) {
    return SendAnswer(what, service_.Date());
  }
  if (frame.type == FrameType::Table && frame.subtype == FrameSubtype::TableQuery) {
    return SendAnswer(what, service_.TableQuery(frame.text));
  }
  if (frame.type == FrameType::Table && frame.subtype == FrameSubtype::RecordUpdate) {
    return SendAnswer(what, service_.RecordUpdate(frame.text));
  }
  if (frame.type == FrameType::File && frame.subtype == FrameSubtype::FileInfo) {
    return SendAnswer(what, service_.FileInfo(frame.text));
  }
  if (frame.type == FrameType::File && frame.subtype == FrameSubtype::FileDownload) {
    return SendDownload(frame.text);
  }
  return SendAnswer(what, service_.Unknown(frame.type, frame.subtype));
}

bool DataSession::SendAnswer(std::string_view what, const ServiceAnswer& answer) {
  if (!answer.failure.empty()) {
    refused_ = true;
    channel_.LogFailure(what, answer.failure);
  }
  if (const std::string notice = service_.TakeNotice(); !notice.empty()) {
    channel_.LogNotice(what, notice);
  }
  return channel_.SendAnswer(answer.text);
}

bool DataSession::SendDownload(std::string_view remote_name) {
  ServiceAnswer refusal;
  const auto file = service_.OpenDownload(remote_name, refusal);
  std::array<char, kDownloadHeaderSize> header{};
  constexpr int kHeaderSize = static_cast<int>(kDownloadHeaderSize);
  if (!file) {
    // The client reads the size and date first whatever happens: a refusal is an empty file.
    return channel_.Send(header.data(), kHeaderSize) && SendAnswer("file download", refusal);
  }
  EncodeDownloadHeader({file->size, file->packed_date}, header.data());
  if (!channel_.Send(header.data(), kHeaderSize) || !SendFileBytes(*file)) return false;
  return channel_.SendAnswer("ErrorCode=0");
}

bool DataSession::SendFileBytes(const ClientFile& file) {
  std::vector<char> block(kFileBlock);
  off_t offset = 0;
  while (offset < file.size) {
    const std::size_t wanted = std::min(kFileBlock, static_cast<std::size_t>(file.size - offset));
    const ssize_t n =
        RetryOnEintr([&] { return ::pread(file.fd.Get(), block.data(), wanted, offset); });
    if (n <= 0) {
      // The size is already promised; a file that shrank leaves no way but to close.
      channel_.LogFailure("file download", "file shrank or cannot be read");
      return false;
    }
    if (!channel_.Send(block.data(), static_cast<int>(n))) return false;
    offset += n;
  }
  return true;
}
