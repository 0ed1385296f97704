// Table queries per second against hospd over TLS and plain TCP, with 1, 8 and 64 connections,
// measured against the SQLite lookup alone in the same run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Database.h"
#include "DemoFolder.h"
#include "HospitalStore.h"
#include "Log.h"
#include "NameValueList.h"
#include "Server.h"
#include "dbServerConnection.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kEmail = "anna.weber@hospital.example";

// One demo folder and two in-process servers on it: the data protocol over TLS and over TCP.
class BenchServers {
 public:
  BenchServers()
      : folder_(fs::temp_directory_path() / ("bench-hospd-" + std::to_string(::getpid()))) {
    SilenceLog();
    fs::remove_all(folder_);
    std::ostringstream ignored;
    InitDemoFolder(folder_, ignored);
    tls_ = Start(true, tls_thread_);
    plain_ = Start(false, plain_thread_);
  }
  ~BenchServers() {
    for (Server* server : {tls_.get(), plain_.get()}) server->RequestStop();
    tls_thread_.join();
    plain_thread_.join();
    tls_.reset();
    plain_.reset();
    fs::remove_all(folder_);
  }

  int DataPort(bool tls) const { return (tls ? tls_ : plain_)->DataPort(); }
  std::string DatabasePath() const { return (folder_ / "hosp.db").string(); }

 private:
  std::unique_ptr<Server> Start(bool tls, std::thread& runner) {
    ServerOptions options;
    options.data_dir = folder_;
    options.data_port = 0;
    options.function_port = 0;
    options.data_tls = tls;
    auto server = std::make_unique<Server>(options);
    runner = std::thread([raw = server.get()] { raw->Run(); });
    return server;
  }

  fs::path folder_;
  std::unique_ptr<Server> tls_;
  std::unique_ptr<Server> plain_;
  std::thread tls_thread_;
  std::thread plain_thread_;
};

// Made by main before the runs and ended after them, not at static destruction time.
std::unique_ptr<BenchServers> bench_servers;

BenchServers& Servers() {
  return *bench_servers;
}

// Reference: the record lookup the server makes for each query, without any network.
void BM_SqliteLookup(benchmark::State& state) {
  const auto db = Database::Open(Servers().DatabasePath(), false);
  HospitalStore store(*db);
  for (auto _ : state) benchmark::DoNotOptimize(store.Record(PersonnelTable(), kEmail));
  state.SetItemsProcessed(state.iterations());
}

// Each benchmark thread is one client connection doing the login's Personnel query.
void TableQueries(benchmark::State& state, bool tls) {
  dbServerConnection connection("127.0.0.1", std::to_string(Servers().DataPort(tls)),
                                "Pellomarquin", "", tls, 30);
  if (!connection.IsConnected()) {
    state.SkipWithError("cannot connect");
    return;
  }
  NameValueList record;
  for (auto _ : state) {
    if (!connection.QueryTable("Personnel", 4, kEmail, "", record, "", "")) {
      state.SkipWithError("query failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TableQueryTls(benchmark::State& state) {
  TableQueries(state, true);
}
void BM_TableQueryPlain(benchmark::State& state) {
  TableQueries(state, false);
}

BENCHMARK(BM_SqliteLookup)->MinTime(0.5);
BENCHMARK(BM_TableQueryTls)->Threads(1)->Threads(8)->Threads(64)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_TableQueryPlain)->Threads(1)->Threads(8)->Threads(64)->UseRealTime()->MinTime(1.0);

// Keeps the items per second of every run, for the summary against the reference.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  RateReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto rate = run.counters.find("items_per_second");
      if (rate != run.counters.end() && !run.error_occurred)
        rates_.emplace_back(run.benchmark_name(), rate->second);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintSummary() const {
    const auto reference = std::find_if(rates_.begin(), rates_.end(), [](const auto& entry) {
      return entry.first.rfind("BM_SqliteLookup", 0) == 0;
    });
    if (reference == rates_.end()) return;
    std::printf("\nTable queries per second (ratio to the SQLite lookup alone, %.0f/s):\n",
                reference->second);
    for (const auto& [name, rate] : rates_) {
      if (name == reference->first) continue;
      std::printf("  %-55s %10.0f q/s   ratio %.4f\n", name.c_str(), rate,
                  rate / reference->second);
    }
  }

 private:
  std::vector<std::pair<std::string, double>> rates_;  // in run order
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bench_servers = std::make_unique<BenchServers>();
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  bench_servers.reset();
  benchmark::Shutdown();
  return 0;
}
