// What sessions cost: hospload's requests per second against hospd --require-login (every
// request names its session, which the server looks up, and each case is checked against the
// session's physician) measured against the same load on hospd --server-login without
// sessions, on SQLite and on PostgreSQL. Each client logs in once, then lists and approves.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "HospdProcess.h"
#include "PostgresServer.h"

namespace {

constexpr int kClients = 8;
constexpr int kSeconds = 8;
// Runs of each kind, alternated, so that a change in the machine's other work meets both.
constexpr int kRuns = 2;

// The "all requests" rate of one hospload run, or 0 when it failed.
double RequestsPerSecond(const HospdProcess& server) {
  const std::string command = std::string(HOSPLOAD_PATH) + " --data-port " +
                              std::to_string(server.DataPort()) + " --function-port " +
                              std::to_string(server.FunctionPort()) + " --clients " +
                              std::to_string(kClients) + " --seconds " + std::to_string(kSeconds) +
                              " --login-once --send-password 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return 0;
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = ::pclose(pipe);
  const auto row = output.find("all requests");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || row == std::string::npos) {
    std::printf("hospload failed:\n%s\n", output.c_str());
    return 0;
  }
  std::istringstream fields(output.substr(row + std::string("all requests").size()));
  double count = 0;
  double rate = 0;
  fields >> count >> rate;
  return rate;
}

// One run on a fresh server (so that every run finds the same open cases) with `arguments`.
double Rate(const std::string& mode, PostgresServer* postgres) {
  const std::string database = postgres != nullptr ? postgres->CreateDatabase() : std::string();
  double rate = 0;
  {
    HospdProcess server({mode, "--max-connections-per-address", "512"}, database);
    rate = RequestsPerSecond(server);
  }
  if (postgres != nullptr) postgres->DropDatabase(database);
  return rate;
}

}  // namespace

int main() {
  std::printf("hospload, %d clients for %d s each, logged in once; best of %d runs\n", kClients,
              kSeconds, kRuns);
  std::printf("%-12s %18s %18s %8s\n", "store", "without sessions", "with sessions", "ratio");
  PostgresServer postgres;
  for (PostgresServer* store : {static_cast<PostgresServer*>(nullptr), &postgres}) {
    double without = 0;
    double with = 0;
    for (int run = 0; run < kRuns; ++run) {
      without = std::max(without, Rate("--server-login", store));
      with = std::max(with, Rate("--require-login", store));
    }
    std::printf("%-12s %14.1f/s %14.1f/s %8.2f\n", store == nullptr ? "SQLite" : "PostgreSQL",
                without, with, without > 0 ? with / without : 0.0);
  }
  return 0;
}
