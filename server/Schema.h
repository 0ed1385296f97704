// Creates the tables of a new server database.
#pragma once

class Database;

// Creates Personnel, Cases, Needs, Approvals and their indexes and trigger. Throws DatabaseError.
void CreateSchema(Database& db);
