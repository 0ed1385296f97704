// Which database a server works on, and opening it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "store/HospitalStore.h"

struct StoreSettings {
  std::filesystem::path data_dir;  // holds hosp.db when no database is named
  std::string database;            // a PostgreSQL URL or key=value text; empty for SQLite
  // Enough for the connection threads of a busy server, and few enough that two servers fit
  // in PostgreSQL's default of 100 connections with room to spare.
  int connections = 16;
};

// The SQLite file a server without a named database uses.
std::filesystem::path SqlitePath(const StoreSettings& settings);

// Opens the store, creating or upgrading its schema. `create` allows a new SQLite file; a
// PostgreSQL database must exist (and may be empty). Throws DatabaseError, also for a
// database text that names no database system this server knows.
std::unique_ptr<HospitalStore> OpenStore(const StoreSettings& settings, bool create = false);
