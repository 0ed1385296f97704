// Which database a server works on, and opening it.
#include "store/StoreSettings.h"

#include "store/DatabaseError.h"
#include "store/postgres/PgConnection.h"
#include "store/postgres/PostgresStore.h"
#include "store/sqlite/SqliteStore.h"

std::filesystem::path SqlitePath(const StoreSettings& settings) {
  return settings.data_dir / "hosp.db";
}

std::unique_ptr<HospitalStore> OpenStore(const StoreSettings& settings, bool create) {
  if (settings.database.empty()) {
    return std::make_unique<SqliteStore>(SqlitePath(settings).string(), settings.connections,
                                         create);
  }
  if (IsPostgresConninfo(settings.database)) {
    return std::make_unique<PostgresStore>(settings.database, settings.connections);
  }
  throw DatabaseError(
      "--database takes a postgresql:// URL or libpq key=value pairs (without it, hospd uses "
      "hosp.db in the data folder)");
}
