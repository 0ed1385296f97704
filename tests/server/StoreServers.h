// The two stores a parameterised server suite runs against, with one hospd for each.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "HospdProcess.h"

enum class StoreKind { Sqlite, Postgres };

// "Sqlite" or "Postgres", for test names.
std::string StoreName(const ::testing::TestParamInfo<StoreKind>& info);

// A new, empty PostgreSQL database on the run's shared server, or empty for SQLite.
std::string NewDatabase(StoreKind kind);

// One hospd on fresh demo data per store, started on first use and shared by a suite's tests.
class StoreServers {
 public:
  HospdProcess& Get(StoreKind kind);
  // Stops each server, expecting exit status 0 (neither a crash nor a leak on its way out).
  void StopAll();

 private:
  std::map<StoreKind, std::unique_ptr<HospdProcess>> servers_;
};
