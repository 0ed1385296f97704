// Runs the reference servers as a child process on fresh demo data, for one test.
#pragma once

#include <sys/types.h>

#include <string>
#include <thread>
#include <vector>

#include "TestFiles.h"

// Creates a demo data folder in a new temporary folder (`hospd --init-demo`), starts
// `hospd` there on ports chosen by the system and waits (bounded) until both listen.
// With a PostgreSQL `database`, the server keeps its data there instead of hosp.db.
// The destructor stops the server with SIGTERM, waits for it and removes the folder.
// The hospd path is $HOSP_BUILD_DIR/server/hospd (without the variable: the hospd of the
// build this helper was compiled in). Failures to start throw
// std::runtime_error with the reason.
class HospdProcess {
 public:
  // `extra_arguments` are appended to the serving command line (e.g. {"--idle-timeout", "1"});
  // with "--server-login" (or "--require-login") among them, the demo is made with
  // --server-login too (hashed passwords).
  // `load_demo` false serves a `database` that another server has filled already.
  explicit HospdProcess(std::vector<std::string> extra_arguments = {}, std::string database = {},
                        bool load_demo = true);
  ~HospdProcess();
  HospdProcess(const HospdProcess&) = delete;
  HospdProcess& operator=(const HospdProcess&) = delete;

  int DataPort() const { return data_port_; }          // TLS data server
  int FunctionPort() const { return function_port_; }  // plain TCP function server
  // The monitoring endpoint's, with "--metrics" among the arguments; else 0.
  int MetricsPort() const { return metrics_port_; }
  const std::string& DataDir() const { return data_dir_; }
  std::string DatabasePath() const { return data_dir_ + "/hosp.db"; }
  // The PostgreSQL database served, or empty for hosp.db.
  const std::string& Database() const { return database_; }
  std::string ClientsDir() const { return data_dir_ + "/Clients"; }

  // Everything the server wrote to stderr so far.
  std::string LogText() const;
  // The server's resident memory now (VmRSS in /proc/PID/status), in KiB; 0 when it is not
  // running.
  long ResidentKiB() const;
  // Sends SIGTERM and waits (bounded); returns the exit status, or -1 when the server
  // did not end normally. Later calls return the first result.
  int Stop();
  // Ends the server at once with SIGKILL, as a crash would; the data folder stays.
  void Kill();
  // Freezes the server (SIGSTOP): connections and requests are taken in by the system, but
  // nothing is answered until Kill, Stop or Restart.
  void Pause();
  // Lets a paused server go on: it answers what it was sent meanwhile, as a slow server would.
  void Resume();
  // Starts the server again (stopping it first if it runs) on the same data folder, the same
  // two ports and the same extra arguments, and waits (bounded) until both listen. Throws
  // std::runtime_error when it cannot.
  void Restart();
  // The same with other extra arguments from now on.
  void Restart(std::vector<std::string> extra_arguments);
  bool Running() const { return pid_ > 0; }
  // Sends `signal` (SIGHUP, say) to the running server.
  void Signal(int signal) const;

  // Path of the hospd executable under test.
  static std::string ExecutablePath();

 private:
  void InitDemoData();
  void StartServer(int data_port, int function_port);
  void WaitForPorts();

  std::string temp_dir_;
  std::string data_dir_;
  std::string ports_file_;
  std::string log_file_;
  std::vector<std::string> extra_arguments_;
  std::string database_;
  bool load_demo_;
  pid_t pid_ = -1;
  bool paused_ = false;
  int exit_status_ = -1;
  int data_port_ = 0;
  int function_port_ = 0;
  int metrics_port_ = 0;
};

// Runs the hospd under test once with `arguments` (an administrator's subcommand, say) to its
// end, `input` as its standard input and no terminal, and collects both outputs.
CommandOutcome RunHospd(const std::vector<std::string>& arguments, const std::string& input = "");

// A client's Hosp.ini naming the server's two ports on 127.0.0.1, with `data_keys` and
// `function_keys` (whole lines) added to their sections.
std::string ClientIni(const HospdProcess& server, const std::string& data_keys = "",
                      const std::string& function_keys = "");

// Kills the (paused) server after 300 ms, from its own thread, while the test waits for an
// answer that cannot come.
class DelayedKill {
 public:
  explicit DelayedKill(HospdProcess& server);
  ~DelayedKill() { thread_.join(); }
  DelayedKill(const DelayedKill&) = delete;
  DelayedKill& operator=(const DelayedKill&) = delete;

 private:
  std::thread thread_;
};
