// Creates the tables of a new server database.
#pragma once

class Database;

// The layout version a new database records in SQLite's user_version. Databases made before
// versions were recorded read 0 and have the same layout as version 1.
constexpr int kSchemaVersion = 1;

// Creates Personnel, Cases, Needs, Approvals and their indexes and trigger, and records
// kSchemaVersion. Throws DatabaseError.
void CreateSchema(Database& db);
