// One-line log messages on stderr, safe to write from every connection thread.
#pragma once

#include <string>
#include <string_view>

// Syslog's priorities, by which the journal files and filters the lines.
enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// Writes "<local time> <line>\n" to stderr as one unit. When stderr is the journal (systemd's
// $JOURNAL_STREAM names it), "<N><line>\n" instead: the journal reads the priority N from the
// prefix and stamps the time itself.
void LogLine(LogPriority priority, std::string_view line);
inline void LogLine(std::string_view line) { LogLine(LogPriority::Info, line); }

// Silences LogLine for the rest of the process (benchmarks run thousands of connections).
void SilenceLog();

// A client's text as it may appear in a message or the log: at most 64 bytes, control
// characters replaced by "?", so that no request can forge or flood log lines.
std::string Excerpt(std::string_view text);
