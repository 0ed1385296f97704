// Whole-file reads, and file writes that no reader ever sees half done.
#pragma once

#include <string>
#include <string_view>

#include <sys/types.h>

// Writes all of `bytes` to `fd`, resuming after interruptions and short writes; false when a
// write fails (errno says why) or takes nothing.
bool WriteAll(int fd, std::string_view bytes);

// The whole regular file at `path`; false, with `bytes` empty, when it cannot be read, is no
// regular file, holds 2 GiB or more, or grows while it is read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

// The permission bits a written file gets.
struct FileMode {
  mode_t bits;
  // Set with fchmod() whatever the umask; otherwise the umask narrows them, as for open().
  bool exact;
};

// Why a write failed: the step, the file it was at, errno then, and the usual wording.
struct FileWriteFailure {
  enum class Step { Create, Write, Rename };
  Step step = Step::Create;
  std::string path;  // the file created or written: the temporary one of an atomic write
  int error = 0;
  std::string text;  // "cannot create P: ...", "cannot write P" or "cannot rename P to T: ..."
};

// Creates `path`, which must not exist yet, writes `bytes` into it and flushes them to disk.
// A file that could not be written completely is removed again.
bool WriteNewFile(const std::string& path, std::string_view bytes, FileMode mode,
                  FileWriteFailure& failure);

// Writes `bytes` as a new file under a temporary name in the folder of `path`, flushed to disk,
// and renames it into place (the rename flushed too), so that no reader ever sees a
// half-written file. A failed write leaves `path` as it was and no temporary file behind.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, FileMode mode,
                         FileWriteFailure& failure);
