// Serves one data-server connection: reads frames with their limits, answers each in order.
#include "net/DataSession.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "RetryOnEintr.h"
#include "service/ServiceContext.h"
#include "net/SessionChannel.h"

namespace {

constexpr int kHeaderBytes = 12;
constexpr std::size_t kFileBlock = 65536;

std::int32_t ReadLittleEndian(const char* bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return static_cast<std::int32_t>(value);
}

void WriteLittleEndian(char* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string RequestName(int type, int subtype) {
  using namespace DataRequest;
  if (type == kHandshake && subtype == 0) return "handshake";
  if (type == kDate && subtype == 0) return "date request";
  if (type == kTable && subtype == kTableQuery) return "table query";
  if (type == kTable && subtype == kRecordUpdate) return "record update";
  if (type == kFile && subtype == kFileInfo) return "file size and date";
  if (type == kFile && subtype == kFileDownload) return "file download";
  return "request " + std::to_string(type) + "/" + std::to_string(subtype);
}

}  // namespace

DataSession::DataSession(SessionChannel& channel, ServiceContext& context, std::string remote_ip)
    : channel_(channel), service_(context, std::move(remote_ip)) {}

void DataSession::Run() {
  std::string end_reason;
  while (auto frame = ReadFrame(end_reason)) {
    ++requests_;
    if (!Serve(*frame)) {
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
  const std::int32_t length = ReadLittleEndian(header.data());
  frame.type = ReadLittleEndian(header.data() + 4);
  frame.subtype = ReadLittleEndian(header.data() + 8);
  // The length counts the text and its NUL: below 1 or above the limit, the frame is garbage.
  if (length < 1 || length > kMaxRequestBytes) {
    end_reason = "bad frame length " + std::to_string(length);
    channel_.LogFailure(RequestName(frame.type, frame.subtype), end_reason);
    return std::nullopt;
  }
  std::vector<char> text(static_cast<std::size_t>(length) + 1);
  status = channel_.ReadExactly(text.data(), length);
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
  using namespace DataRequest;
  const std::string what = RequestName(frame.type, frame.subtype);
  // Only subtype 0 of these two is known; any other would pass for a handshake or date.
  if (frame.type == kHandshake && frame.subtype == 0) {
    return SendAnswer(what, service_.Handshake(frame.text));
  }
  if (frame.type == kDate && frame.subtype == 0) return SendAnswer(what, service_.Date());
  if (frame.type == kTable && frame.subtype == kTableQuery) {
    return SendAnswer(what, service_.TableQuery(frame.text));
  }
  if (frame.type == kTable && frame.subtype == kRecordUpdate) {
    return SendAnswer(what, service_.RecordUpdate(frame.text));
  }
  if (frame.type == kFile && frame.subtype == kFileInfo) {
    return SendAnswer(what, service_.FileInfo(frame.text));
  }
  if (frame.type == kFile && frame.subtype == kFileDownload) return SendDownload(frame.text);
  return SendAnswer(what, service_.Unknown(frame.type, frame.subtype));
}

bool DataSession::SendAnswer(std::string_view what, const ServiceAnswer& answer) {
  if (!answer.failure.empty()) channel_.LogFailure(what, answer.failure);
  if (const std::string notice = service_.TakeNotice(); !notice.empty()) {
    channel_.LogNotice(what, notice);
  }
  return channel_.SendAnswer(answer.text);
}

bool DataSession::SendDownload(std::string_view remote_name) {
  ServiceAnswer refusal;
  const auto file = service_.OpenDownload(remote_name, refusal);
  std::array<char, 8> header{};
  if (!file) {
    // The client reads the size and date first whatever happens: a refusal is an empty file.
    return channel_.Send(header.data(), 8) && SendAnswer("file download", refusal);
  }
  WriteLittleEndian(header.data(), static_cast<std::uint32_t>(file->size));
  WriteLittleEndian(header.data() + 4, file->packed_date);
  if (!channel_.Send(header.data(), 8) || !SendFileBytes(*file)) return false;
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
