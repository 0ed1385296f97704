// A consistent copy of a live SQLite database, taken with SQLite's online backup.
#pragma once

#include <filesystem>

// Copies the database at `source` (which must exist) into the new file `destination`, as one
// committed state, while servers go on reading and writing it. The copy is written under a
// temporary name, checked, synced and only then given its name; an existing `destination` is
// never overwritten. Throws std::runtime_error (or DatabaseError) with the reason.
void BackupDatabase(const std::filesystem::path& source, const std::filesystem::path& destination);
