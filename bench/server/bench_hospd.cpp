// Table queries per second against hospd with 1, 8 and 64 connections: on SQLite over TLS and
// plain TCP, on PostgreSQL over TLS, and spread over two hospd processes sharing one
// PostgreSQL database; measured against the SQLite lookup alone in the same run.
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

#include "HospdProcess.h"
#include "Log.h"
#include "NameValueList.h"
#include "PostgresServer.h"
#include "Server.h"
#include "admin/DemoFolder.h"
#include "dbServerConnection.h"
#include "store/postgres/PostgresStore.h"
#include "store/sqlite/SqliteStore.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kEmail = "anna.weber@hospital.example";

enum class Target { SqliteTls, SqlitePlain, PostgresTls, TwoPostgresServers };

// One demo folder with in-process servers on SQLite (the data protocol over TLS and over
// TCP) and on PostgreSQL (TLS), and two hospd processes sharing a second PostgreSQL database.
class BenchServers {
 public:
  BenchServers()
      : folder_(fs::temp_directory_path() / ("bench-hospd-" + std::to_string(::getpid()))) {
    SilenceLog();
    fs::remove_all(folder_);
    std::ostringstream ignored;
    InitDemoFolder(folder_, ignored);
    database_ = postgres_.CreateDatabase();
    InitDemoFolder(folder_, ignored, database_);
    Start(true, {});
    Start(false, {});
    Start(true, database_);
    const std::string shared = postgres_.CreateDatabase();
    // Every connection comes from this one address, up to 64 at once.
    const std::vector<std::string> one_address{"--max-connections-per-address", "512"};
    first_ = std::make_unique<HospdProcess>(one_address, shared);
    second_ = std::make_unique<HospdProcess>(one_address, shared, false);
  }
  ~BenchServers() {
    for (const auto& server : servers_) server->RequestStop();
    for (std::thread& runner : runners_) runner.join();
    servers_.clear();
    first_.reset();
    second_.reset();
    fs::remove_all(folder_);
  }

  // The data port for the benchmark thread `thread` (two servers take turns).
  int DataPort(Target target, int thread) const {
    switch (target) {
      case Target::SqliteTls:
        return servers_[0]->DataPort();
      case Target::SqlitePlain:
        return servers_[1]->DataPort();
      case Target::PostgresTls:
        return servers_[2]->DataPort();
      case Target::TwoPostgresServers:
        return (thread % 2 == 0 ? first_ : second_)->DataPort();
    }
    return 0;
  }
  std::string DatabasePath() const { return (folder_ / "hosp.db").string(); }
  const std::string& Database() const { return database_; }

 private:
  void Start(bool tls, const std::string& database) {
    ServerOptions options;
    options.data_dir = folder_;
    options.data_port = 0;
    options.function_port = 0;
    options.data_tls = tls;
    options.database = database;
    options.max_connections_per_address = options.max_connections;
    servers_.push_back(std::make_unique<Server>(options));
    runners_.emplace_back([raw = servers_.back().get()] { raw->Run(); });
  }

  fs::path folder_;
  PostgresServer postgres_;
  std::string database_;
  std::vector<std::unique_ptr<Server>> servers_;
  std::vector<std::thread> runners_;
  std::unique_ptr<HospdProcess> first_;
  std::unique_ptr<HospdProcess> second_;
};

// Made by main before the runs and ended after them, not at static destruction time.
std::unique_ptr<BenchServers> bench_servers;

BenchServers& Servers() { return *bench_servers; }

// Reference: the record lookup the server makes for each query, without any network.
void BM_SqliteLookup(benchmark::State& state) {
  SqliteStore store(Servers().DatabasePath(), 1);
  for (auto _ : state) benchmark::DoNotOptimize(store.Record(PersonnelTable(), kEmail));
  state.SetItemsProcessed(state.iterations());
}

// The same lookup in PostgreSQL, over one local TCP connection.
void BM_PostgresLookup(benchmark::State& state) {
  PostgresStore store(Servers().Database(), 1);
  for (auto _ : state) benchmark::DoNotOptimize(store.Record(PersonnelTable(), kEmail));
  state.SetItemsProcessed(state.iterations());
}

// Each benchmark thread is one client connection doing the login's Personnel query.
void TableQueries(benchmark::State& state, Target target) {
  const bool tls = target != Target::SqlitePlain;
  dbServerConnection connection("127.0.0.1",
                                std::to_string(Servers().DataPort(target, state.thread_index())),
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

void BM_TableQueryTls(benchmark::State& state) { TableQueries(state, Target::SqliteTls); }
void BM_TableQueryPlain(benchmark::State& state) { TableQueries(state, Target::SqlitePlain); }
void BM_TableQueryPostgresTls(benchmark::State& state) { TableQueries(state, Target::PostgresTls); }
void BM_TableQueryTwoServersPostgresTls(benchmark::State& state) {
  TableQueries(state, Target::TwoPostgresServers);
}

BENCHMARK(BM_SqliteLookup)->MinTime(0.5);
BENCHMARK(BM_PostgresLookup)->MinTime(0.5);
BENCHMARK(BM_TableQueryTls)->Threads(1)->Threads(8)->Threads(64)->UseRealTime()->MinTime(1.0);
// 1, 2, 8 and 64 connections; with two servers, 2 is one connection to each.
void PostgresConnections(benchmark::internal::Benchmark* run) {
  run->Threads(1)->Threads(2)->Threads(8)->Threads(64)->UseRealTime()->MinTime(1.0);
}
BENCHMARK(BM_TableQueryPostgresTls)->Apply(PostgresConnections);
BENCHMARK(BM_TableQueryTwoServersPostgresTls)->Apply(PostgresConnections);
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
