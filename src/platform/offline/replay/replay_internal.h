// What the parts of the replay unit share: the layout of a log entry, the
// base block copy at the start of a log file, and the two replay formats.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hive_log.h"

namespace hivelog::detail {

constexpr std::size_t logSectorSize = 512;
constexpr std::size_t binAlignment = 4096;

constexpr std::uint32_t primaryFileType = 0;
constexpr std::uint32_t oldLogFileType = 1;
constexpr std::uint32_t newLogFileType = 6;

// A new-format log entry (the regf format notes, "Log entries"): its header,
// then a page reference for each page, then the pages.
constexpr std::size_t entryHeaderSize = 40;
constexpr std::size_t pageReferenceSize = 8;
constexpr std::uint32_t lockedFlag = 0x1;  // the base block's KTM bit, carried in an entry's flags

inline bool hasSignature(const unsigned char* bytes, const char (&signature)[5]) {
    return std::memcmp(bytes, signature, 4) == 0;
}

// The first sector of a log file: a partial copy of the base block that the
// writer had in memory, with the file type of the log's format.
struct LogCopy {
    bool sound = false;  // "regf", right checksum, equal sequence numbers
    std::uint32_t fileType = 0;
    std::uint32_t sequence = 0;
    std::uint64_t lastWritten = 0;
    std::uint32_t binsSize = 0;
};

LogCopy readLogCopy(ByteView log);

// A log file that may take part in a replay, with its parsed copy.
struct LogSource {
    const LogFile* file = nullptr;
    LogCopy copy;
};

// What a format's replay hands back: the recovered file (base block not yet
// made clean) and how much was applied, or a refusal.
struct Recovery {
    std::vector<unsigned char> hive;
    std::size_t applied = 0;
    Refusal refusal = Refusal::none;
    std::string reason;
};

// `sizeLimit` bounds the recovered file: a hive cannot grow beyond what the
// primary and the pages of its logs can fill, and untrusted size fields must
// not make us allocate more. Logs are given in the order LOG1, LOG2, LOG.
Recovery replayNewFormat(ByteView primary, bool primarySound, const std::vector<LogSource>& logs,
                         std::uint64_t sizeLimit);
Recovery replayOldFormat(ByteView primary, bool primarySound, const std::vector<LogSource>& logs,
                         std::uint64_t sizeLimit);

// The sequence numbers of the valid entries of a new-format log, in file order.
std::vector<std::uint32_t> newFormatEntrySequences(ByteView log);

}  // namespace hivelog::detail
