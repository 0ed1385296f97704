// Creates the tables of a new SQLite server database and upgrades older ones.
#pragma once

class SqliteDatabase;

// Brings the database to kSchemaVersion (its "user_version"): creates Personnel, Cases,
// Needs, Approvals, AuditTrail with their indexes and trigger in an empty file, and applies the
// missing steps to an older one. Throws DatabaseError, also for a schema newer than this server's.
void UpgradeSchema(SqliteDatabase& db);
