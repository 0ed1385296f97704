// Creates the tables of a new PostgreSQL server database and upgrades older ones.
#pragma once

class PgConnection;

// Brings the database to kSchemaVersion (the one row of SchemaVersion): creates Personnel,
// Cases, Needs, Approvals, AuditTrail with their indexes and trigger in an empty database, and
// applies the missing steps to an older one, in one transaction under a lock, so that servers
// starting together upgrade once. Throws DatabaseError, also for a newer schema.
void UpgradeSchema(PgConnection& db);
