// Tests of whole-file writes: the modes they give, and what a failed write leaves behind.
#include "FileIO.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "TestFiles.h"

namespace fs = std::filesystem;

namespace {

// Sets the process umask for its lifetime.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t saved_;
};

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

}  // namespace

// An exact mode holds whatever the umask; any other is narrowed by it, as open() does.
TEST(FileIOTest, ModesAreExactOrNarrowedByTheUmask) {
  struct Case {
    const char* name;
    FileMode mode;
    mode_t umask;
    mode_t expected;
  };
  const Case cases[] = {
      {"ExactAgainstAStrictUmask", {0644, true}, 077, 0644},
      {"NarrowedByTheUsualUmask", {0666, false}, 022, 0644},
      {"NarrowedByAStrictUmask", {0644, false}, 077, 0600},
  };
  TempFolder folder;
  for (const Case& c : cases) {
    const ScopedUmask mask(c.umask);
    const std::string path = folder.Path(c.name);
    FileWriteFailure failure;
    ASSERT_TRUE(WriteFileAtomically(path, "new", c.mode, failure)) << c.name << failure.text;
    EXPECT_EQ(ModeOf(path), c.expected) << c.name;
    EXPECT_EQ(ReadBytes(path), "new") << c.name;
  }
}

// A write that fails at any step leaves the folder as it was: no temporary file behind.
TEST(FileIOTest, AFailedWriteLeavesNoFileBehind) {
  TempFolder folder;
  fs::create_directory(folder.Path() / "taken");
  FileWriteFailure failure;
  EXPECT_FALSE(WriteFileAtomically(folder.Path("taken"), "bytes", {0644, true}, failure));
  EXPECT_EQ(failure.step, FileWriteFailure::Step::Rename);
  EXPECT_EQ(failure.text.rfind("cannot rename " + folder.Path("taken") + ".new-", 0), 0u)
      << failure.text;

  WriteBytes(folder.Path("old"), "old");
  EXPECT_FALSE(WriteNewFile(folder.Path("old"), "new", {0644, true}, failure));
  EXPECT_EQ(failure.step, FileWriteFailure::Step::Create);
  EXPECT_EQ(ReadBytes(folder.Path("old")), "old");

  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder.Path())) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"old", "taken"}));
}
