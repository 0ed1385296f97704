// A demo data folder and the servers' shared context, made once per fuzzing process.
#pragma once

#include <filesystem>
#include <memory>

#include "net/ConnectionRegistry.h"
#include "service/ServiceContext.h"

// Lives until the process ends; the folder is removed then.
class DemoWorld {
 public:
  // The one world of this process, made on first use. Aborts when the folder cannot be made.
  static DemoWorld& Get();

  ServiceContext& Context() { return *context_; }
  ConnectionRegistry& Registry() { return *registry_; }

 private:
  DemoWorld();

  std::filesystem::path folder_;
  std::unique_ptr<ServiceContext> context_;
  std::unique_ptr<ConnectionRegistry> registry_;
};
