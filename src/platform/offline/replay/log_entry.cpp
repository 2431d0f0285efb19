// New-format log entries and base block copies, written the way the replay
// in new_format.cpp reads them.
#include "log_entry.h"

#include <algorithm>

#include "marvin32.h"
#include "replay_internal.h"

namespace hivelog {

using namespace detail;

namespace {

std::size_t roundUp(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

}  // namespace

void addChangedPageRuns(ByteView before, ByteView after, std::uint32_t offset, std::uint32_t beforeBins,
                        std::vector<PageRun>& runs) {
    for (std::size_t at = 0; at + hivePageSize <= after.size; at += hivePageSize) {
        const std::uint64_t page = std::uint64_t{offset} + at;
        // A page that growth adds is carried even when the file happens to
        // hold the same bytes there: they are no part of the old hive.
        const bool grown = page >= beforeBins || at + hivePageSize > before.size;
        if (!grown && std::memcmp(before.data + at, after.data + at, hivePageSize) == 0) {
            continue;
        }
        if (!runs.empty() && std::uint64_t{runs.back().offset} + runs.back().size == page) {
            runs.back().size += hivePageSize;
        } else {
            runs.push_back({static_cast<std::uint32_t>(page), static_cast<std::uint32_t>(hivePageSize)});
        }
    }
}

std::vector<unsigned char> newFormatLogCopy(const unsigned char* baseBlock, std::uint32_t sequence) {
    std::vector<unsigned char> copy(baseBlock, baseBlock + logSectorSize);
    writeDword(copy.data() + primarySequenceAt, sequence);
    writeDword(copy.data() + secondarySequenceAt, sequence);
    writeDword(copy.data() + fileTypeAt, newLogFileType);
    writeDword(copy.data() + checksumAt, baseBlockChecksum(copy.data()));
    return copy;
}

void sealLogEntry(unsigned char* log, std::size_t logSize, std::size_t offset) {
    unsigned char* at = log + offset;
    const std::size_t size = std::min<std::size_t>(readDword(at + 4), logSize - offset);
    writeQword(at + 24, marvin32(at + entryHeaderSize, size - entryHeaderSize));
    writeQword(at + 32, marvin32(at, 32));
}

void appendLogEntry(std::vector<unsigned char>& log, std::uint32_t sequence, std::uint32_t binsSize,
                    std::uint32_t flags, const std::vector<EntryPage>& pages) {
    std::size_t size = entryHeaderSize + pageReferenceSize * pages.size();
    for (const EntryPage& page : pages) {
        size += page.size;
    }
    size = roundUp(size, logSectorSize);
    const std::size_t at = log.size();
    log.resize(at + size, 0);
    unsigned char* entry = log.data() + at;
    std::memcpy(entry, "HvLE", 4);
    writeDword(entry + 4, static_cast<std::uint32_t>(size));
    writeDword(entry + 8, flags & lockedFlag);
    writeDword(entry + 12, sequence);
    writeDword(entry + 16, binsSize);
    writeDword(entry + 20, static_cast<std::uint32_t>(pages.size()));
    unsigned char* reference = entry + entryHeaderSize;
    unsigned char* data = reference + pageReferenceSize * pages.size();
    for (const EntryPage& page : pages) {
        writeDword(reference, page.offset);
        writeDword(reference + 4, page.size);
        reference += pageReferenceSize;
        std::memcpy(data, page.bytes, page.size);
        data += page.size;
    }
    sealLogEntry(log.data(), log.size(), at);
}

std::vector<unsigned char> newFormatLogOf(const unsigned char* afterBaseBlock, std::uint32_t sequence,
                                          const std::vector<PageRun>& runs, const unsigned char* bins) {
    std::vector<unsigned char> log = newFormatLogCopy(afterBaseBlock, sequence);
    std::vector<EntryPage> entryPages;
    std::size_t bytes = 0;
    for (const PageRun& run : runs) {
        entryPages.push_back({run.offset, bins + run.offset, run.size});
        bytes += run.size;
    }
    log.reserve(roundUp(log.size() + entryHeaderSize + pageReferenceSize * runs.size() + bytes, logSectorSize));
    appendLogEntry(log, sequence, readDword(afterBaseBlock + binsSizeAt), readDword(afterBaseBlock + flagsAt),
                   entryPages);
    return log;
}

bool highestEntrySequence(const std::vector<LogFile>& logs, std::uint32_t& highest) {
    bool found = false;
    for (const LogFile& log : logs) {
        for (const std::uint32_t sequence : newFormatEntrySequences(log.bytes)) {
            highest = found ? std::max(highest, sequence) : sequence;
            found = true;
        }
    }
    return found;
}

bool isNewFormatLog(ByteView log) {
    const LogCopy copy = readLogCopy(log);
    return copy.sound && copy.fileType == newLogFileType;
}

}  // namespace hivelog
