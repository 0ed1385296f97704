// The monitoring endpoint: /metrics, /healthz and /readyz over HTTP, served by libmicrohttpd
// on a thread of its own.
#include "ops/MetricsServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstring>
#include <stdexcept>

namespace {

constexpr const char* kTextType = "text/plain; charset=utf-8";
constexpr const char* kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
// A scraper or a probe needs a handful; a flood from inside must not take the server's threads.
constexpr unsigned kConnectionLimit = 16;
constexpr unsigned kTimeoutSeconds = 10;

sockaddr_in ParseAddress(const std::string& address) {
  // Loopback unless an address is given: the numbers are for the hospital's monitoring only.
  const auto colon = address.rfind(':');
  const std::string host =
      colon == std::string::npos || colon == 0 ? "127.0.0.1" : address.substr(0, colon);
  const std::string port_text = colon == std::string::npos ? address : address.substr(colon + 1);
  sockaddr_in socket_address{};
  socket_address.sin_family = AF_INET;
  char* end = nullptr;
  const long port = std::strtol(port_text.c_str(), &end, 10);
  if (port_text.empty() || *end != '\0' || port < 0 || port > 65535 ||
      ::inet_pton(AF_INET, host.c_str(), &socket_address.sin_addr) != 1) {
    throw std::runtime_error("--metrics " + address + ": not an IPv4 ADDRESS:PORT");
  }
  socket_address.sin_port = htons(static_cast<std::uint16_t>(port));
  return socket_address;
}

MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* /*upload_data*/,
                  std::size_t* /*upload_data_size*/, void** /*request_state*/) {
  const auto* server = static_cast<const MetricsServer*>(cls);
  MetricsServer::Answer answer{405, "only GET\n", kTextType};
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
      std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0) {
    answer = server->AnswerFor(url);
  }
  MHD_Response* response = MHD_create_response_from_buffer(answer.body.size(), answer.body.data(),
                                                           MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

MetricsServer::MetricsServer(const std::string& address, Pages pages) : pages_(std::move(pages)) {
  sockaddr_in socket_address = ParseAddress(address);
  daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr,
                             &Handle, this, MHD_OPTION_SOCK_ADDR,
                             reinterpret_cast<sockaddr*>(&socket_address),
                             MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                             MHD_OPTION_CONNECTION_TIMEOUT, kTimeoutSeconds, MHD_OPTION_END);
  if (daemon_ == nullptr) {
    throw std::runtime_error("cannot serve metrics on " + address + ": " + std::strerror(errno));
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : 0;
  char host[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &socket_address.sin_addr, host, sizeof host);
  host_ = host;
}

MetricsServer::~MetricsServer() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
}

MetricsServer::Answer MetricsServer::AnswerFor(const std::string& path) const {
  if (path == "/metrics") return {200, pages_.metrics(), kMetricsType};
  // The process answers: nothing else is asked, the database least of all.
  if (path == "/healthz") return {200, "ok\n", kTextType};
  if (path == "/readyz") {
    const std::string why = pages_.not_ready();
    return why.empty() ? Answer{200, "ready\n", kTextType} : Answer{503, why + "\n", kTextType};
  }
  return {404, "not found; try /metrics, /healthz or /readyz\n", kTextType};
}
