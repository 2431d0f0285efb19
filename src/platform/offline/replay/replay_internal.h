// What the parts of the replay unit share: little-endian access to the bytes,
// the base block copy at the start of a log file, and the two replay formats.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hive_log.h"

namespace hivelog::detail {

constexpr std::size_t logSectorSize = 512;
constexpr std::size_t binAlignment = 4096;

// Base block fields (the regf format notes, "Base block").
constexpr std::size_t primarySequenceAt = 4;
constexpr std::size_t secondarySequenceAt = 8;
constexpr std::size_t lastWrittenAt = 12;
constexpr std::size_t fileTypeAt = 28;
constexpr std::size_t rootCellAt = 36;
constexpr std::size_t binsSizeAt = 40;
constexpr std::size_t checksumAt = 508;
constexpr std::size_t flagsAt = 144;
constexpr std::size_t firstBinTimestampAt = baseBlockSize + 20;

constexpr std::uint32_t primaryFileType = 0;
constexpr std::uint32_t oldLogFileType = 1;
constexpr std::uint32_t newLogFileType = 6;

inline std::uint32_t readDword(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline std::uint64_t readQword(const unsigned char* bytes) {
    return static_cast<std::uint64_t>(readDword(bytes)) | static_cast<std::uint64_t>(readDword(bytes + 4)) << 32;
}

inline void writeDword(unsigned char* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline void writeQword(unsigned char* bytes, std::uint64_t value) {
    writeDword(bytes, static_cast<std::uint32_t>(value));
    writeDword(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

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
