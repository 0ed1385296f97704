// `hospd publish`: puts a client build into a data folder's Clients folder, signed or not,
// so that no client ever reads a half-written build or signature.
#pragma once

#include <string>

#include "AdminCommand.h"

class PublishCommand final : public AdminCommand {
 public:
  CLI::App* Register(CLI::App& app) override;
  int Run() override;

  // A name a client can ask for as "Clients\NAME": one plain file name.
  static bool ValidName(const std::string& name);

 private:
  std::string build_;
  std::string name_ = "Pellomarquin.exe";
  std::string key_;
  std::string data_dir_;
};
