// The log's lines as the journal reads them: "<N>" priority prefixes when stderr is the journal.
#include "Log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "TestFiles.h"

// systemd names the journal's stream in $JOURNAL_STREAM as "DEVICE:INODE"; stderr is made
// that stream here, before the process's first log line, which is when the log looks.
TEST(LogTest, PrioritiesPrefixLinesWrittenToTheJournal) {
  TempFolder folder;
  const std::string path = folder.Path("journal");
  WriteBytes(path, "");
  const int saved = ::dup(STDERR_FILENO);
  FILE* journal = std::fopen(path.c_str(), "a");
  ASSERT_NE(journal, nullptr);
  ::dup2(::fileno(journal), STDERR_FILENO);
  struct stat status {};
  ASSERT_EQ(::fstat(STDERR_FILENO, &status), 0);
  const ScopedEnvironment stream(
      "JOURNAL_STREAM", std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino));
  LogLine(LogPriority::Error, "thread could not start");
  LogLine(LogPriority::Warning, "refused");
  LogLine("serving");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::fclose(journal);
  EXPECT_EQ(ReadBytes(path), "<3>thread could not start\n<4>refused\n<6>serving\n");
}
