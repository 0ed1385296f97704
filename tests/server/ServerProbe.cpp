// The probe of the database a running server works on, whichever database system holds it.
#include "ServerProbe.h"

#include "HospdProcess.h"
#include "SqliteProbe.h"

std::unique_ptr<DbProbe> OpenProbe(const HospdProcess& server) {
  if (!server.Database().empty()) return std::make_unique<PostgresProbe>(server.Database());
  return std::make_unique<SqliteProbe>(server.DatabasePath());
}
