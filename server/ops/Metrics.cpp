// The server's counters for monitoring, kept in atomics so that every connection thread counts
// without a lock, and their Prometheus text.
#include "ops/Metrics.h"

#include <cstdio>

namespace {

constexpr const char* kKindNames[] = {"handshake", "date",          "table_query", "record_update",
                                      "file_info", "file_download", "unknown",     "function_json"};
constexpr const char* kPortNames[] = {"data", "function"};

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Sample(std::string& out, const std::string& name, const std::string& labels, double value) {
  out += name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += " " + Number(value) + "\n";
}

int Index(MetricsPort port) { return port == MetricsPort::Data ? 0 : 1; }

}  // namespace

void Metrics::Request(RequestKind kind, bool served, std::chrono::steady_clock::duration latency) {
  const auto k = static_cast<std::size_t>(kind);
  requests_[k][served ? 1 : 0].fetch_add(1, std::memory_order_relaxed);
  const double seconds = std::chrono::duration<double>(latency).count();
  std::size_t bucket = 0;
  while (bucket < kBuckets.size() && seconds > kBuckets[bucket]) ++bucket;
  Latency& histogram = latency_[k];
  histogram.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
  histogram.sum_ns.fetch_add(
      static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(latency).count()),
      std::memory_order_relaxed);
  histogram.count.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::Opened(MetricsPort port) {
  ports_[Index(port)].open.fetch_add(1, std::memory_order_relaxed);
  ports_[Index(port)].accepted.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::Closed(MetricsPort port) {
  ports_[Index(port)].open.fetch_sub(1, std::memory_order_relaxed);
}

void Metrics::Refused(MetricsPort port) {
  ports_[Index(port)].refused.fetch_add(1, std::memory_order_relaxed);
}

std::string Metrics::Render(const std::string& version, const MetricsSnapshot& others) const {
  std::string out;
  Header(out, "hospd_build_info", "gauge", "The running build; always 1.");
  Sample(out, "hospd_build_info", "version=\"" + version + "\"", 1);
  Header(out, "hospd_start_time_seconds", "gauge", "When the server started, in Unix time.");
  Sample(out, "hospd_start_time_seconds", "",
         std::chrono::duration<double>(started_.time_since_epoch()).count());

  Header(out, "hospd_requests_total", "counter",
         "Requests by kind; outcome ok when answered, failed when refused, failed or unsent.");
  for (int k = 0; k < kKinds; ++k) {
    for (int served = 1; served >= 0; --served) {
      Sample(out, "hospd_requests_total",
             std::string("kind=\"") + kKindNames[k] + "\",outcome=\"" + (served ? "ok" : "failed") +
                 "\"",
             static_cast<double>(requests_[k][served].load(std::memory_order_relaxed)));
    }
  }
  Header(out, "hospd_request_duration_seconds", "histogram",
         "Time from a request's last byte in to its answer's last byte out, by kind.");
  for (int k = 0; k < kKinds; ++k) {
    const std::string kind = std::string("kind=\"") + kKindNames[k] + "\"";
    const Latency& histogram = latency_[k];
    std::uint64_t cumulative = 0;
    for (std::size_t b = 0; b <= kBuckets.size(); ++b) {
      cumulative += histogram.buckets[b].load(std::memory_order_relaxed);
      const std::string le = b < kBuckets.size() ? Number(kBuckets[b]) : "+Inf";
      Sample(out, "hospd_request_duration_seconds_bucket", kind + ",le=\"" + le + "\"",
             static_cast<double>(cumulative));
    }
    Sample(out, "hospd_request_duration_seconds_sum", kind,
           static_cast<double>(histogram.sum_ns.load(std::memory_order_relaxed)) / 1e9);
    Sample(out, "hospd_request_duration_seconds_count", kind,
           static_cast<double>(histogram.count.load(std::memory_order_relaxed)));
  }

  Header(out, "hospd_connections_open", "gauge", "Connections being served, by port.");
  for (int p = 0; p < 2; ++p) {
    Sample(out, "hospd_connections_open", std::string("port=\"") + kPortNames[p] + "\"",
           static_cast<double>(ports_[p].open.load(std::memory_order_relaxed)));
  }
  Header(out, "hospd_connections_accepted_total", "counter", "Connections admitted, by port.");
  for (int p = 0; p < 2; ++p) {
    Sample(out, "hospd_connections_accepted_total", std::string("port=\"") + kPortNames[p] + "\"",
           static_cast<double>(ports_[p].accepted.load(std::memory_order_relaxed)));
  }
  Header(out, "hospd_connections_refused_total", "counter",
         "Connections closed at once because a connection limit was reached, by port.");
  for (int p = 0; p < 2; ++p) {
    Sample(out, "hospd_connections_refused_total", std::string("port=\"") + kPortNames[p] + "\"",
           static_cast<double>(ports_[p].refused.load(std::memory_order_relaxed)));
  }

  Header(out, "hospd_logins_failed_total", "counter",
         "Logins refused by the server's own password check (--server-login).");
  Sample(out, "hospd_logins_failed_total", "", static_cast<double>(others.logins_failed));
  Header(out, "hospd_logins_throttled_total", "counter",
         "Logins answered only after a delay, because of earlier failures.");
  Sample(out, "hospd_logins_throttled_total", "", static_cast<double>(others.logins_throttled));

  Header(out, "hospd_db_pool_connections_in_use", "gauge",
         "Database connections lent to requests now.");
  Sample(out, "hospd_db_pool_connections_in_use", "", others.pool_in_use);
  Header(out, "hospd_db_pool_connections_max", "gauge",
         "Database connections the pool may open (--db-connections).");
  Sample(out, "hospd_db_pool_connections_max", "", others.pool_capacity);
  Header(out, "hospd_db_pool_waits_total", "counter",
         "Requests that found every database connection in use and waited for one.");
  Sample(out, "hospd_db_pool_waits_total", "", static_cast<double>(others.pool_waits));
  Header(out, "hospd_db_pool_wait_timeouts_total", "counter",
         "Waits for a database connection that ran out (the request failed).");
  Sample(out, "hospd_db_pool_wait_timeouts_total", "",
         static_cast<double>(others.pool_wait_timeouts));
  return out;
}
