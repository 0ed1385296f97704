// Runs the reference servers as a child process on fresh demo data, for one test.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Creates a demo data folder in a new temporary folder (`hospd --init-demo`), starts
// `hospd` there on ports chosen by the system and waits (bounded) until both listen.
// The destructor stops the server with SIGTERM, waits for it and removes the folder.
// The hospd path is $HOSP_BUILD_DIR/server/hospd (without the variable: the hospd of the
// build this helper was compiled in). Failures to start throw
// std::runtime_error with the reason.
class HospdProcess {
 public:
  // `extra_arguments` are appended to the serving command line (e.g. {"--idle-timeout", "1"}).
  explicit HospdProcess(std::vector<std::string> extra_arguments = {});
  ~HospdProcess();
  HospdProcess(const HospdProcess&) = delete;
  HospdProcess& operator=(const HospdProcess&) = delete;

  int DataPort() const { return data_port_; }          // TLS data server
  int FunctionPort() const { return function_port_; }  // plain TCP function server
  const std::string& DataDir() const { return data_dir_; }
  std::string DatabasePath() const { return data_dir_ + "/hosp.db"; }
  std::string ClientsDir() const { return data_dir_ + "/Clients"; }

  // Everything the server wrote to stderr so far.
  std::string LogText() const;
  // Sends SIGTERM and waits (bounded); returns the exit status, or -1 when the server
  // did not end normally. Later calls return the first result.
  int Stop();
  bool Running() const { return pid_ > 0; }

  // Path of the hospd executable under test.
  static std::string ExecutablePath();

 private:
  void InitDemoData();
  void StartServer(const std::vector<std::string>& extra_arguments);
  void WaitForPorts();

  std::string temp_dir_;
  std::string data_dir_;
  std::string ports_file_;
  std::string log_file_;
  pid_t pid_ = -1;
  int exit_status_ = -1;
  int data_port_ = 0;
  int function_port_ = 0;
};
