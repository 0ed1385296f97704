// Which remote file names map into the Clients folder, and which files may be opened there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "FileDate.h"
#include "service/ClientFiles.h"

namespace fs = std::filesystem;

// Names under "Clients" map to their path below it; every other name maps to nothing.
TEST(ClientFilesTest, MapNameKeepsNamesInsideClients) {
  struct Row {
    const char* name;
    const char* expected;  // nullptr: refused
  };
  const Row rows[] = {
      {"Clients\\Pellomarquin.exe", "Pellomarquin.exe"},
      {"clients/sub/Build.bin", "sub/Build.bin"},
      {"CLIENTS\\a\\b", "a/b"},
      {"Clients\\..\\hosp.db", nullptr},
      {"Clients\\sub\\..\\..\\hosp.db", nullptr},
      {"Clients\\.\\x", nullptr},
      {"Clients\\\\x", nullptr},
      {"Clients\\", nullptr},
      {"Clients", nullptr},
      {"\\Clients\\x", nullptr},
      {"Pellomarquin.exe", nullptr},
      {"Other\\x", nullptr},
      {"Clients\\C:x", nullptr},
      {"Clients\\a\x01"
       "b",
       nullptr},
      {"", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const auto mapped = ClientFiles::MapName(row.name);
    if (row.expected == nullptr) {
      EXPECT_FALSE(mapped.has_value());
    } else {
      ASSERT_TRUE(mapped.has_value());
      EXPECT_EQ(mapped->generic_string(), row.expected);
    }
  }
}

// Regular files inside open with size and packed date; folders and links that lead outside do not.
TEST(ClientFilesTest, OpenStaysInsideTheFolder) {
  const fs::path root = fs::temp_directory_path() / ("client-files-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "Clients" / "sub");
  { std::ofstream(root / "Clients" / "app.exe") << "12345"; }
  { std::ofstream(root / "secret.txt") << "secret"; }
  fs::create_symlink("../secret.txt", root / "Clients" / "out.txt");
  fs::create_symlink("app.exe", root / "Clients" / "alias.exe");
  const ClientFiles files(root);
  std::string error;

  const auto app = files.Open("Clients\\app.exe", error);
  ASSERT_TRUE(app.has_value()) << error;
  EXPECT_EQ(app->size, 5);
  EXPECT_EQ(static_cast<std::int32_t>(app->packed_date),
            GetFilePackedDate((root / "Clients" / "app.exe").string()));
  EXPECT_TRUE(files.Open("Clients\\alias.exe", error).has_value());

  for (const char* refused : {"Clients\\out.txt", "Clients\\sub", "Clients\\none.exe"}) {
    SCOPED_TRACE(refused);
    EXPECT_FALSE(files.Open(refused, error).has_value());
    EXPECT_FALSE(error.empty());
  }
  fs::remove_all(root);
}
