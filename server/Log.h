// One-line log messages on stderr, safe to write from every connection thread.
#pragma once

#include <string>
#include <string_view>

// Writes "<local time> <line>\n" to stderr as one unit.
void LogLine(std::string_view line);

// Silences LogLine for the rest of the process (benchmarks run thousands of connections).
void SilenceLog();

// A client's text as it may appear in a message or the log: at most 64 bytes, control
// characters replaced by "?", so that no request can forge or flood log lines.
std::string Excerpt(std::string_view text);
