// What the log needs from the platform: its file, opened so that nobody else
// can have planted it or point it somewhere else.
//
// The log's place is fixed and well known, and the tool runs with the highest
// rights in a temporary folder that every local user may create files in. So
// an existing file is appended to only when it is a plain file with one name
// that belongs to the account running the tool or to the system; anything
// else could hand the log (and the values it holds) to another user, or turn
// the appends against a file of the system. The platform opens the file
// without following links and gathers the facts from the open handle (never
// from the name, which could change between a check and the open); the log
// judges them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Who owns an existing log file, as far as the log's rules care.
enum class LogFileOwner {
    runningAccount,  // the account (Linux: the effective uid) that runs the tool
    system,          // Windows: SYSTEM (S-1-5-18); Linux: root
    administrators,  // Windows: the Administrators group (S-1-5-32-544)
    other,           // anyone else, or an owner that could not be read
};

// What the platform found out about an opened log file, from its handle.
struct LogFileFacts {
    bool known = false;        // false: nothing could be opened or learnt
    bool link = false;         // a symbolic link or another reparse point
    bool regularFile = false;  // a plain file: no directory, pipe or device
    unsigned long long names = 0;  // its hard links
    LogFileOwner owner = LogFileOwner::other;
    std::string ownerText;     // who owns it, for a refusal message ("uid 65534")
};

enum class LogFileVerdict {
    append,
    link,
    notRegularFile,
    severalNames,
    foreignOwner,
};

// The log's rule for a file it found: append only to a regular file that is
// no link, has exactly one name and is owned by the running account or the
// system. The first reason that applies is given.
LogFileVerdict judgeLogFile(const LogFileFacts& facts);

// Why a file was refused, as the end of a sentence ("... is a symbolic link").
const char* logFileRefusalText(LogFileVerdict verdict);

// Opens the file for the log (log.cpp), or gives null with one line on
// stderr where a terminal can show why a file was refused.
struct LogFileHandle;
LogFileHandle* openCheckedLogFile(const std::filesystem::path& path);

// ---- Implemented by the platform (src/platform/<platform>/log_file.cpp) ----

// Opens path for appending without following a link: creates it exclusively
// and readable by its owner only when it is missing, otherwise opens what is
// there. facts describe what was opened, read from the handle; a name that is
// a link, or a pipe that cannot be opened without blocking, gives null with
// the facts that say so. Null with facts.known false: there is nothing to
// write to (a missing folder, no permission), which is not worth a word.
LogFileHandle* openLogFile(const std::filesystem::path& path, LogFileFacts& facts);

// Appends the bytes at the end of the file with one write; false when they
// could not all be written.
bool writeLogFile(LogFileHandle& file, const char* bytes, std::size_t count);

// Closes the file and frees the handle; null is allowed.
void closeLogFile(LogFileHandle* file);

// Tells the person at a terminal, in one line, that the log is not written and
// why; where there is no terminal (Windows' GUI program) it does nothing.
void noteLogFileRefused(const std::filesystem::path& path, const std::string& why);
