// Wrong guesses at one e-mail address that one client address gets answered within the
// throttle's window, on 1, 16 and 256 connections at once, against one hospd on SQLite and
// two sharing a PostgreSQL database; measured against the single connection in the same run.
// The throttle runs with its real rules on a clock 50 times faster (15 minutes take 18 s);
// only the password hash and the network keep their real speed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "NameValueList.h"
#include "PostgresServer.h"
#include "Server.h"
#include "admin/DemoFolder.h"
#include "dbServerConnection.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kEmail = "anna.weber@hospital.example";
constexpr int kTimeScale = 50;

ThrottleSettings ScaledThrottle() {
  ThrottleSettings settings;
  settings.first_delay /= kTimeScale;
  settings.max_delay /= kTimeScale;
  settings.account_delay /= kTimeScale;
  settings.window /= kTimeScale;
  return settings;
}

// Fresh servers for each run, so that no run inherits the failures of the one before; they
// stop at the end of the window, which ends every wait that is still going on.
class GuessingRun {
 public:
  GuessingRun(const fs::path& folder, const std::string& database, int servers, int connections)
      : start_(Clock::now() + std::chrono::seconds(2) +
               connections * std::chrono::milliseconds(20)),
        end_(start_ + ScaledThrottle().window) {
    for (int i = 0; i < servers; ++i) {
      ServerOptions options;
      options.data_dir = folder;
      options.database = database;
      options.data_port = 0;
      options.function_port = 0;
      options.server_login = true;
      options.throttle = ScaledThrottle();
      // Every connection comes from this one address: the rows measure the throttle, not the
      // connection limits.
      options.max_connections_per_address = options.max_connections;
      servers_.push_back(std::make_unique<Server>(options));
      runners_.emplace_back([raw = servers_.back().get()] { raw->Run(); });
    }
    stopper_ = std::thread([this] {
      std::this_thread::sleep_until(end_);
      for (const auto& server : servers_) server->RequestStop();
      for (std::thread& runner : runners_) runner.join();
      for (const auto& server : servers_) server->Shutdown(std::chrono::seconds(10));
    });
  }
  ~GuessingRun() { stopper_.join(); }

  int DataPort(int thread) const { return servers_[thread % servers_.size()]->DataPort(); }
  Clock::time_point Start() const { return start_; }
  Clock::time_point End() const { return end_; }

 private:
  Clock::time_point start_;
  Clock::time_point end_;
  std::vector<std::unique_ptr<Server>> servers_;
  std::vector<std::thread> runners_;
  std::thread stopper_;
};

struct Stores {
  fs::path folder = fs::temp_directory_path() / ("bench-guessing-" + std::to_string(::getpid()));
  PostgresServer postgres;
  std::string database;
  std::unique_ptr<GuessingRun> run;
};

// Made by main before the runs and ended after them, not at static destruction time.
std::unique_ptr<Stores> stores;

void StartSqlite(const benchmark::State& state) {
  stores->run = std::make_unique<GuessingRun>(stores->folder, "", 1, state.threads());
}
void StartTwoPostgresServers(const benchmark::State& state) {
  stores->run = std::make_unique<GuessingRun>(stores->folder, stores->database, 2, state.threads());
}
void EndRun(const benchmark::State&) { stores->run.reset(); }

// Each benchmark thread is one connection guessing in turn from the start of the window to
// its end; a guess counts when its answer came within the window. A connection the server
// refuses guesses nothing.
void BM_Guesses(benchmark::State& state) {
  const GuessingRun& run = *stores->run;
  dbServerConnection connection("127.0.0.1", std::to_string(run.DataPort(state.thread_index())),
                                "Pellomarquin", "", true, 600);
  std::this_thread::sleep_until(run.Start());
  int guesses = 0;
  for (auto _ : state) {
    NameValueList record;
    NameValueList password;
    password.Add("Password=guess");
    while (connection.IsConnected() && Clock::now() < run.End()) {
      connection.QueryTable("Personnel", 4, kEmail, "", record, "", "", password);
      const bool refused = record.CommaText() == "~";
      if (refused && Clock::now() <= run.End()) ++guesses;
    }
  }
  state.counters["guesses"] = guesses;
}

BENCHMARK(BM_Guesses)
    ->Name("BM_GuessesSqlite")
    ->Setup(StartSqlite)
    ->Teardown(EndRun)
    ->Threads(1)
    ->Threads(16)
    ->Threads(256)
    ->Iterations(1)
    ->UseRealTime();
BENCHMARK(BM_Guesses)
    ->Name("BM_GuessesTwoPostgresServers")
    ->Setup(StartTwoPostgresServers)
    ->Teardown(EndRun)
    ->Threads(1)
    ->Threads(16)
    ->Threads(256)
    ->Iterations(1)
    ->UseRealTime();

// Keeps the guesses of every run, for the summary against the single connection.
class GuessReporter : public benchmark::ConsoleReporter {
 public:
  GuessReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto guesses = run.counters.find("guesses");
      if (guesses != run.counters.end() && !run.error_occurred) {
        guesses_.emplace_back(run.benchmark_name(), guesses->second.value);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintSummary() const {
    std::printf(
        "\nWrong guesses at one e-mail address from one client address answered within "
        "one window (15 minutes, run 1/%d as fast), ratio to one connection:\n",
        kTimeScale);
    double single = 0;
    for (const auto& [name, guesses] : guesses_) {
      if (name.ends_with("threads:1")) single = guesses;
      std::printf("  %-50s %6.0f guesses   ratio %.2f\n", name.c_str(), guesses,
                  single > 0 ? guesses / single : 0.0);
    }
  }

 private:
  std::vector<std::pair<std::string, double>> guesses_;  // in run order
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SilenceLog();
  stores = std::make_unique<Stores>();
  fs::remove_all(stores->folder);
  std::ostringstream ignored;
  InitDemoFolder(stores->folder, ignored, {}, true);
  stores->database = stores->postgres.CreateDatabase();
  InitDemoFolder(stores->folder, ignored, stores->database, true);
  GuessReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  fs::remove_all(stores->folder);
  stores.reset();
  benchmark::Shutdown();
  return 0;
}
