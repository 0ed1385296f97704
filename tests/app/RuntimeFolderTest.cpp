// The runtime folder given to the toolkit when the session names none: created private,
// reused when it is ours alone, never taken when anyone else could reach it.
#include "RuntimeFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "RowName.h"
#include "TestFiles.h"

namespace fs = std::filesystem;

namespace {

enum class Existing { Nothing, PrivateFolder, OpenFolder, LinkToPrivateFolder, File };

struct FolderRow {
  std::string name;
  std::optional<std::string> preset;  // XDG_RUNTIME_DIR as the session gave it
  Existing existing;                  // what "runtime-<user>" is before the start
  bool provided;                      // the variable then names that folder
};

class RuntimeFolderTest : public ::testing::TestWithParam<FolderRow> {};

// Built the way the toolkit names its own fallback.
std::string RuntimeName() { return "runtime-" + std::string(::getpwuid(::geteuid())->pw_name); }

void Make(Existing existing, const fs::path& folder, const fs::path& elsewhere) {
  switch (existing) {
    case Existing::Nothing:
      break;
    case Existing::PrivateFolder:
      ::mkdir(folder.c_str(), 0700);
      break;
    case Existing::OpenFolder:
      ::mkdir(folder.c_str(), 0700);
      ::chmod(folder.c_str(), 0755);
      break;
    case Existing::LinkToPrivateFolder:
      ::mkdir(elsewhere.c_str(), 0700);
      fs::create_directory_symlink(elsewhere, folder);
      break;
    case Existing::File:
      WriteBytes(folder, "");
      break;
  }
}

// Only a folder of our own with mode 0700 may be handed on; the session's choice always wins.
TEST_P(RuntimeFolderTest, NamesOnlyAFolderOfOurOwn) {
  const FolderRow& row = GetParam();
  TempFolder temp("runtime-folder-test");
  const fs::path folder = temp.Path() / RuntimeName();
  Make(row.existing, folder, temp.Path() / "elsewhere");
  const ScopedEnvironment tmpdir("TMPDIR", temp.Path().string());
  const ScopedEnvironment runtime("XDG_RUNTIME_DIR", row.preset);

  ProvideRuntimeFolder();

  const char* now = std::getenv("XDG_RUNTIME_DIR");
  if (row.preset.has_value() && !row.preset->empty()) {
    EXPECT_EQ(std::string(now), *row.preset);
    EXPECT_FALSE(fs::exists(folder));
  } else if (row.provided) {
    ASSERT_NE(now, nullptr);
    EXPECT_EQ(fs::path(now), folder);
    struct stat info {};
    ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
  } else {
    EXPECT_TRUE(now == nullptr || *now == '\0') << now;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Starts, RuntimeFolderTest,
    ::testing::Values(FolderRow{"SessionFolderKept", "/run/user/4711", Existing::Nothing, false},
                      FolderRow{"CreatedWhenUnset", std::nullopt, Existing::Nothing, true},
                      FolderRow{"CreatedWhenEmpty", "", Existing::Nothing, true},
                      FolderRow{"PrivateFolderReused", std::nullopt, Existing::PrivateFolder, true},
                      FolderRow{"OpenFolderRefused", std::nullopt, Existing::OpenFolder, false},
                      FolderRow{"LinkRefused", std::nullopt, Existing::LinkToPrivateFolder, false},
                      FolderRow{"FileRefused", std::nullopt, Existing::File, false}),
    RowName());

}  // namespace
