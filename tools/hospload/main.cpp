// hospload: many simulated clients against hospd for a bounded time; prints request rates and
// latency percentiles and checks that every approval was recorded exactly once.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ApprovalLedger.h"
#include "DatabaseSnapshot.h"
#include "IniFile.h"
#include "LatencyTable.h"
#include "LoadClient.h"

namespace {

struct Settings {
  std::string ini;
  ServerAddress address;
  int clients = 8;
  int seconds = 10;
  std::string db;
  std::vector<std::string> logins{"anna.weber@hospital.example:demo",
                                  "lukas.brenner@hospital.example:demo",
                                  "jonas.hoffmann@hospital.example:demo",
                                  "paul.richter@hospital.example:demo"};
};

void AddOptions(CLI::App& app, Settings& settings) {
  auto* ini = app.add_option("--ini", settings.ini,
                             "Take the servers from this Hosp.ini (sections DataServer and "
                             "FunctionServer, keys IP and Port).")
                  ->check(CLI::ExistingFile);
  app.add_option("--host", settings.address.host, "Host of both servers.")->capture_default_str();
  auto* data = app.add_option("--data-port", settings.address.data_port, "Port of the data server (TLS).");
  auto* function = app.add_option("--function-port", settings.address.function_port,
                                  "Port of the function server (plain TCP).");
  ini->excludes(data)->excludes(function);
  app.add_option("--clients", settings.clients, "Simulated clients, one thread each.")
      ->check(CLI::Range(1, 2000))
      ->capture_default_str();
  app.add_option("--seconds", settings.seconds, "How long the clients send requests.")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
  app.add_option("--db", settings.db,
                 "The server's hosp.db: compared before and after the run, every approval must "
                 "be recorded exactly once and nothing else may change.")
      ->check(CLI::ExistingFile);
  app.add_option("--login", settings.logins,
                 "E-MAIL:PASSWORD of a physician; the clients take them in turn (default: the "
                 "demo physicians).")
      ->type_name("E-MAIL:PASSWORD");
}

// Fills the address from the INI file, or checks that the ports were given.
bool ResolveAddress(Settings& settings) {
  if (!settings.ini.empty()) {
    IniFile ini;
    ini.Load(settings.ini);
    settings.address.host = ini.Read("DataServer", "IP", settings.address.host);
    settings.address.data_port = ini.Read("DataServer", "Port");
    settings.address.function_port = ini.Read("FunctionServer", "Port");
  }
  return !settings.address.data_port.empty() && !settings.address.function_port.empty();
}

std::vector<Login> ParseLogins(const std::vector<std::string>& texts) {
  std::vector<Login> logins;
  for (const std::string& text : texts) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) throw CLI::ValidationError("--login", "needs E-MAIL:PASSWORD");
    logins.push_back({text.substr(0, colon), text.substr(colon + 1)});
  }
  return logins;
}

struct RunResult {
  LatencyTable latencies;
  std::vector<std::string> problems;
  double seconds = 0;
};

RunResult RunClients(const Settings& settings, const std::vector<Login>& logins,
                     ApprovalLedger& ledger) {
  std::vector<std::unique_ptr<LoadClient>> clients;
  for (int i = 0; i < settings.clients; ++i) {
    clients.push_back(std::make_unique<LoadClient>(
        settings.address, logins[static_cast<std::size_t>(i) % logins.size()], ledger,
        static_cast<unsigned>(i) * 2654435761u));
  }
  std::atomic<bool> stop{false};
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (auto& client : clients) threads.emplace_back([&client, &stop] { client->Run(stop); });
  std::this_thread::sleep_for(std::chrono::seconds(settings.seconds));
  stop = true;
  for (std::thread& thread : threads) thread.join();

  RunResult result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  for (const auto& client : clients) {
    result.latencies.Merge(client->Latencies());
    result.problems.insert(result.problems.end(), client->Problems().begin(), client->Problems().end());
  }
  return result;
}

// Prints the database's verdict; true when it holds exactly the confirmed approvals.
bool CheckDatabase(const std::string& path, const DatabaseSnapshot& before,
                   const std::set<std::string>& approved) {
  const std::vector<std::string> differences = DatabaseSnapshot::Read(path).Differences(before, approved);
  if (differences.empty()) {
    std::cout << "database check: ok (f25 set for exactly the " << approved.size()
              << " approved cases, one Approvals row each, nothing else changed)\n";
    return true;
  }
  std::cout << "database check: FAILED\n";
  for (const std::string& line : differences) std::cout << "  " << line << "\n";
  return false;
}

int Run(Settings& settings) {
  const std::vector<Login> logins = ParseLogins(settings.logins);
  std::optional<DatabaseSnapshot> before;
  if (!settings.db.empty()) before = DatabaseSnapshot::Read(settings.db);

  std::cout << "hospload: " << settings.clients << " clients for " << settings.seconds
            << " s against " << settings.address.host << ", data port "
            << settings.address.data_port << " (TLS), function port "
            << settings.address.function_port << std::endl;
  ApprovalLedger ledger;
  const RunResult result = RunClients(settings, logins, ledger);
  result.latencies.Print(std::cout, result.seconds);

  const std::set<std::string> approved = ledger.Confirmed();
  const std::vector<std::string> unconfirmed = ledger.Unconfirmed();
  std::cout << "approvals: " << approved.size() << " cases approved, "
            << unconfirmed.size() << " approvals not confirmed\n";
  for (const std::string& problem : result.problems) std::cout << "problem: " << problem << "\n";

  bool ok = result.latencies.Failures() == 0 && result.problems.empty() && unconfirmed.empty() &&
            result.latencies.Count() > 0;
  if (before) ok = CheckDatabase(settings.db, *before, approved) && ok;
  std::cout << (ok ? "hospload: ok" : "hospload: FAILED") << std::endl;
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"hospload: simulated clients against hospd. Each client connects as the real "
               "client does, then repeats the login's Personnel query, getdoctorcases and an "
               "approval (each case is approved by one client; later approvals repeat confirmed "
               "ones, which must change nothing) until the time is up."};
  Settings settings;
  AddOptions(app, settings);
  CLI11_PARSE(app, argc, argv);
  if (!ResolveAddress(settings)) {
    std::cerr << "hospload: give --ini FILE, or --data-port and --function-port\n";
    return EXIT_FAILURE;
  }
  try {
    return Run(settings);
  } catch (const std::exception& error) {
    std::cerr << "hospload: " << error.what() << "\n";
    return EXIT_FAILURE;
  }
}
