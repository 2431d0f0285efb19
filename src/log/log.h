// The process-wide log: "tarnwick.log" in the temporary directory.
#pragma once

#include <ostream>
#include <string>

// Opens the log file on the first call; every later call returns at once,
// whether or not the open succeeded.
void openLogOnce();

// Begins one log line: opens the log if needed, writes the time stamp prefix
// and hands back the stream for the message, which supplies its own "\n".
std::wostream& logLine();

// Writes a file-system path in its quoted form: double quotes around it and a
// backslash before every backslash and double quote inside.
struct QuotedPath {
    const std::wstring& path;
};
std::wostream& operator<<(std::wostream& out, const QuotedPath& quoted);

// The stamp written before every line, "%F %T %z" of the given local time.
// Kept apart from the clock so that it can be checked for any zone.
std::wstring formatLogStamp(long long secondsSinceEpoch);

// Tests only: detach the file and forget that the log was opened, so that the
// next line opens the log afresh (in a new temporary directory, say).
void resetLogForTests();
