// hospload: many simulated clients against hospd for a bounded time; prints request rates and
// latency percentiles and checks that every approval was recorded exactly once.
#include <CLI/CLI.hpp>
#include <cstdio>

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
#include "TrustSettings.h"

namespace {

struct Settings {
  std::string ini;
  ServerAddress address;
  std::vector<std::string> server_texts;
  std::vector<ServerAddress> servers;
  int clients = 8;
  int seconds = 10;
  std::string db;
  std::string database;
  bool tolerate_failures = false;
  ClientOptions client;
  std::vector<std::string> logins{
      "anna.weber@hospital.example:demo", "lukas.brenner@hospital.example:demo",
      "jonas.hoffmann@hospital.example:demo", "paul.richter@hospital.example:demo"};
};

void AddOptions(CLI::App& app, Settings& settings) {
  auto* ini = app.add_option("--ini", settings.ini,
                             "Take the servers from this Hosp.ini (sections DataServer and "
                             "FunctionServer, keys IP and Port).")
                  ->check(CLI::ExistingFile);
  app.add_option("--host", settings.address.host, "Host of both servers.")->capture_default_str();
  auto* data =
      app.add_option("--data-port", settings.address.data_port, "Port of the data server (TLS).");
  auto* function = app.add_option("--function-port", settings.address.function_port,
                                  "Port of the function server (plain TCP).");
  auto* servers = app.add_option("--server", settings.server_texts,
                                 "HOST:DATA_PORT:FUNCTION_PORT of one server (repeatable); the "
                                 "clients are spread over them, and one that cannot connect to "
                                 "its server moves on to the next.")
                      ->type_name("HOST:DATA_PORT:FUNCTION_PORT");
  ini->excludes(data)->excludes(function);
  servers->excludes(ini)->excludes(data)->excludes(function);
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
  auto* database = app.add_option("--database", settings.database,
                                  "The servers' PostgreSQL database (URL or key=value text), "
                                  "checked as --db checks a hosp.db.")
                       ->type_name("URL");
  database->excludes("--db");
  app.add_flag("--tolerate-failures", settings.tolerate_failures,
               "Failed requests (a server or the database going away during the run) are "
               "counted but do not fail the run; an approval whose answer was lost is sent "
               "again, and may have been recorded once or not at all. Wrong answers still fail.");
  app.add_flag("--send-password", settings.client.send_password,
               "The login's query carries the password (as SendPassword=Y), for hospd "
               "--server-login and --require-login; also set by SendPassword=Y in --ini.");
  app.add_flag("--function-tls", settings.client.function_tls,
               "The function server over TLS (as Secure=Y in section FunctionServer), for hospd "
               "--function-tls; also set by that key in --ini, with its Fingerprint and CAFile.");
  app.add_flag("--login-once", settings.client.login_once,
               "Each client logs in once and then only lists and approves, with the session the "
               "login's answer named (hospd --require-login), as a client between logins does.");
  app.add_option("--login", settings.logins,
                 "E-MAIL:PASSWORD of a physician; the clients take them in turn (default: the "
                 "demo physicians).")
      ->type_name("E-MAIL:PASSWORD");
}

// HOST:DATA_PORT:FUNCTION_PORT; nothing for any other text.
std::optional<ServerAddress> ParseServer(const std::string& text) {
  const std::size_t second = text.rfind(':');
  const std::size_t first = second == std::string::npos ? second : text.rfind(':', second - 1);
  if (first == std::string::npos || first == 0) return std::nullopt;
  ServerAddress address{text.substr(0, first), text.substr(first + 1, second - first - 1),
                        text.substr(second + 1)};
  if (address.data_port.empty() || address.function_port.empty()) return std::nullopt;
  return address;
}

// The servers from --server, the INI file or the ports given; false when there are none.
bool ResolveServers(Settings& settings) {
  for (const std::string& text : settings.server_texts) {
    const auto address = ParseServer(text);
    if (!address) return false;
    settings.servers.push_back(*address);
  }
  if (!settings.servers.empty()) return true;
  if (!settings.ini.empty()) {
    IniFile ini;
    ini.Load(settings.ini);
    settings.address.host = ini.Read("DataServer", "IP", settings.address.host);
    settings.address.data_port = ini.Read("DataServer", "Port");
    settings.address.function_port = ini.Read("FunctionServer", "Port");
    const TrustSettings trust = TrustSettings::Read(ini);
    settings.client.send_password |= ini.Read("DataServer", "SendPassword") == "Y";
    settings.client.function_tls |= trust.FunctionServerSecure;
    settings.client.function_identity = trust.FunctionServerIdentity;
  }
  if (settings.address.data_port.empty() || settings.address.function_port.empty()) return false;
  settings.servers.push_back(settings.address);
  return true;
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
  std::vector<ServerTally> tallies;
  std::vector<std::string> problems;
  double seconds = 0;
};

RunResult RunClients(const Settings& settings, const std::vector<Login>& logins,
                     ApprovalLedger& ledger) {
  std::vector<std::unique_ptr<LoadClient>> clients;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < settings.clients; ++i) {
    const auto index = static_cast<std::size_t>(i);
    clients.push_back(std::make_unique<LoadClient>(
        settings.servers, index, logins[index % logins.size()], ledger,
        static_cast<unsigned>(i) * 2654435761u, started, settings.client));
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (auto& client : clients) threads.emplace_back([&client, &stop] { client->Run(stop); });
  std::this_thread::sleep_for(std::chrono::seconds(settings.seconds));
  stop = true;
  for (std::thread& thread : threads) thread.join();

  RunResult result;
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  result.tallies.resize(settings.servers.size());
  for (const auto& client : clients) {
    result.latencies.Merge(client->Latencies());
    for (std::size_t s = 0; s < result.tallies.size(); ++s)
      result.tallies[s].Merge(client->Tallies()[s]);
    result.problems.insert(result.problems.end(), client->Problems().begin(),
                           client->Problems().end());
  }
  return result;
}

// Prints the database's verdict; true when it holds exactly the confirmed approvals.
DatabaseSnapshot ReadDatabase(const Settings& settings) {
  return settings.database.empty() ? DatabaseSnapshot::Read(settings.db)
                                   : DatabaseSnapshot::ReadPostgres(settings.database);
}

bool CheckDatabase(const Settings& settings, const DatabaseSnapshot& before,
                   const std::set<std::string>& approved, const std::set<std::string>& uncertain) {
  const std::vector<std::string> differences =
      ReadDatabase(settings).Differences(before, approved, uncertain);
  if (differences.empty()) {
    std::cout << "database check: ok (f25 set for exactly the " << approved.size()
              << " approved cases, one Approvals row each";
    if (!uncertain.empty()) {
      std::cout << "; " << uncertain.size() << " with lost answers recorded at most once";
    }
    std::cout << ", nothing else changed)\n";
    return true;
  }
  std::cout << "database check: FAILED\n";
  for (const std::string& line : differences) std::cout << "  " << line << "\n";
  return false;
}

// One line per server: how much it answered, and when it last did.
void PrintTallies(const std::vector<ServerAddress>& servers,
                  const std::vector<ServerTally>& tallies) {
  for (std::size_t i = 0; i < servers.size(); ++i) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "server %zu %s:%s:%s: %zu answered, %zu failed, last answer at %.1f s", i + 1,
                  servers[i].host.c_str(), servers[i].data_port.c_str(),
                  servers[i].function_port.c_str(), tallies[i].answered, tallies[i].failed,
                  tallies[i].last_answer);
    std::cout << line << "\n";
  }
}

int Run(Settings& settings) {
  const std::vector<Login> logins = ParseLogins(settings.logins);
  std::optional<DatabaseSnapshot> before;
  if (!settings.db.empty() || !settings.database.empty()) before = ReadDatabase(settings);

  std::cout << "hospload: " << settings.clients << " clients for " << settings.seconds
            << " s against";
  for (const ServerAddress& server : settings.servers) {
    std::cout << " " << server.host << ", data port " << server.data_port
              << " (TLS), function port " << server.function_port
              << (settings.client.function_tls ? " (TLS)" : "") << ";";
  }
  std::cout << std::endl;
  ApprovalLedger ledger;
  const RunResult result = RunClients(settings, logins, ledger);
  result.latencies.Print(std::cout, result.seconds);
  if (settings.servers.size() > 1) PrintTallies(settings.servers, result.tallies);

  const std::set<std::string> approved = ledger.Confirmed();
  const std::vector<std::string> unconfirmed = ledger.Unconfirmed();
  std::cout << "approvals: " << approved.size() << " cases approved, " << unconfirmed.size()
            << " approvals not confirmed\n";
  for (const std::string& problem : result.problems) std::cout << "problem: " << problem << "\n";

  const bool failures_ok =
      settings.tolerate_failures || (result.latencies.Failures() == 0 && unconfirmed.empty());
  bool ok = failures_ok && result.problems.empty() && result.latencies.Count() > 0;
  if (before) ok = CheckDatabase(settings, *before, approved, ledger.Uncertain()) && ok;
  std::cout << (ok ? "hospload: ok" : "hospload: FAILED") << std::endl;
  return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "hospload: simulated clients against hospd. Each client connects as the real "
      "client does, then repeats the login's Personnel query, getdoctorcases and an "
      "approval (each case is approved by one client; later approvals repeat confirmed "
      "ones, which must change nothing) until the time is up."};
  Settings settings;
  AddOptions(app, settings);
  CLI11_PARSE(app, argc, argv);
  if (!ResolveServers(settings)) {
    std::cerr << "hospload: give --server HOST:DATA_PORT:FUNCTION_PORT, --ini FILE, or "
                 "--data-port and --function-port\n";
    return EXIT_FAILURE;
  }
  try {
    return Run(settings);
  } catch (const std::exception& error) {
    std::cerr << "hospload: " << error.what() << "\n";
    return EXIT_FAILURE;
  }
}
