// Transaction-log replay for regf hive files, as Windows' registry code does it
// when it loads a dirty hive: bytes in, bytes out, no file access. The caller
// reads the primary file and each log file it finds (findLogNames), hands
// their bytes to replayHive, and uses the replayed bytes in place of the file.
// The rules follow the regf format notes ("Format of transaction log files",
// "Dirty state of a hive", "Multiple transaction log files"); where the notes
// leave a choice open, the .cpp files say what was chosen and why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "regf_fields.h"

namespace hivelog {

// Bytes owned by someone else, valid for the duration of a call.
struct ByteView {
    const unsigned char* data = nullptr;
    std::size_t size = 0;

    ByteView() = default;
    ByteView(const unsigned char* bytes, std::size_t length) : data(bytes), size(length) {}
    ByteView(const std::vector<unsigned char>& bytes) : data(bytes.data()), size(bytes.size()) {}
    ByteView(const std::string& bytes)
        : data(reinterpret_cast<const unsigned char*>(bytes.data())), size(bytes.size()) {}
};

// Which of a hive's log files the bytes came from: <hive>.LOG1, .LOG2, .LOG.
enum class LogRole { log1, log2, log };

struct LogFile {
    LogRole role = LogRole::log1;
    ByteView bytes;  // may be empty: an empty log file is a log with nothing in it
};

// The log files of a hive, picked from a folder listing as Windows opens them:
// "<hive name>.LOG1", ".LOG2" and ".LOG" without regard to case. When several
// entries match one name, the exact spelling wins, otherwise the first in byte
// order (so the choice is stable). Empty strings for logs that are absent.
struct LogNames {
    std::string log1;
    std::string log2;
    std::string log;
};

// True when two file names are the same without regard to case. The default
// folds ASCII letters only; a caller that compares names as NTFS does (its
// upper-case table) passes its own.
using SameName = bool (*)(const std::string& a, const std::string& b);
bool sameNameAscii(const std::string& a, const std::string& b);

LogNames findLogNames(const std::string& hiveName, const std::vector<std::string>& folderEntries,
                      SameName sameName = sameNameAscii);

enum class ReplayOutcome {
    clean,     // the hive is not dirty: use the primary as it is, the logs do not apply
    replayed,  // the hive was dirty and the logs brought it to a consistent state
    refused,   // the hive is dirty and cannot be recovered (the caller reports status 50)
};

enum class Refusal {
    none,
    notAHive,           // shorter than a base block
    noLogs,             // dirty, and every log file is absent or empty
    noUsableLog,        // dirty, and no log holds anything that applies to this primary
    inconsistent,       // the replayed bins do not form a sound hive (replay stopped short)
    sequenceExhausted,  // no sequence number is left above those in the logs
};

enum class LogFormat { none, oldFormat, newFormat };

struct ReplayResult {
    ReplayOutcome outcome = ReplayOutcome::refused;
    Refusal refusal = Refusal::none;
    std::string reason;  // a short text for tests and diagnostics; empty when clean
    // When replayed: the whole recovered file, with a clean base block (both
    // sequence numbers one above every sequence number in the primary and the
    // logs, checksum right). Bytes after the hive bins are kept as they were.
    std::vector<unsigned char> hive;
    // The highest sequence number found in the log files, in the base block
    // copies and in every log entry whose hashes are right, applied or not; 0
    // when there is none. Whatever outcome: a hive written back must get
    // sequence numbers above it, so that no stale entry can later be taken for
    // the continuation of a log that Windows writes.
    std::uint32_t highestLogSequence = 0;
    LogFormat format = LogFormat::none;
    std::size_t entriesApplied = 0;  // log entries (new format) or 512-byte pages (old format)
};

// Decides whether the primary is clean, replays its logs when it is dirty, or
// refuses it. Nothing is written; the inputs are only read.
ReplayResult replayHive(ByteView primary, const std::vector<LogFile>& logs);

// The highest sequence number in the log files, as in ReplayResult.
std::uint32_t highestLogSequence(const std::vector<LogFile>& logs);

// The checksum Windows stores at offset 508 of a base block (the first 508
// bytes XORed as dwords, 0 mapped to 1 and 0xFFFFFFFF to 0xFFFFFFFE).
std::uint32_t baseBlockChecksum(const unsigned char* baseBlock);

// True when the base block is clean: "regf", right checksum, equal sequence
// numbers. A hive whose base block is not clean is dirty.
bool baseBlockIsClean(ByteView hive);

// Makes the 4096-byte base block clean for a hive about to be written: both
// sequence numbers set to `sequence`, the last-written time to `lastWritten`
// (a FILETIME, UTC), the file type to 0 (primary) and the checksum
// recomputed. Windows also copies the last-written time into the header of
// the first hive bin (offset 4096 + 20) when it writes the hive; that field is
// outside the base block and left to the caller.
void makeCleanBaseBlock(unsigned char* baseBlock, std::uint32_t sequence, std::uint64_t lastWritten);

// The checks a replayed hive must pass: the hive bins size is a non-zero
// multiple of 4096 inside the file; the bins tile it, each with "hbin", its own
// offset and a size that is a non-zero multiple of 4096; the cells of each bin
// tile the bin, each a multiple of 8 bytes; the root cell is an allocated cell.
// False with a short reason otherwise.
bool checkBins(ByteView hive, std::string* reason = nullptr);

}  // namespace hivelog
