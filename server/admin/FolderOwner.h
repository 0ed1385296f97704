// Lets root run an administrator's command as the user who owns the data folder.
#pragma once

#include <filesystem>

// When running as root on a folder owned by another user (the service's system user), becomes
// that user for good, so that files the command creates (the database's -wal and -shm files)
// stay usable by the server. Does nothing otherwise. Throws std::runtime_error when it cannot.
void BecomeFolderOwner(const std::filesystem::path& folder);
