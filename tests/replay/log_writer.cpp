#include "log_writer.h"

#include <algorithm>
#include <cstring>

#include "platform/offline/replay/hive_log.h"
#include "platform/offline/replay/log_entry.h"

namespace logwriter {

namespace {

constexpr std::size_t baseBlockSize = 4096;
constexpr std::size_t sectorSize = 512;
constexpr std::size_t blockSize = 4096;
constexpr std::size_t entryHeaderSize = 40;

std::uint32_t readDword(const Bytes& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

void writeDword(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void writeQword(Bytes& bytes, std::size_t at, std::uint64_t value) {
    writeDword(bytes, at, static_cast<std::uint32_t>(value));
    writeDword(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

void append(Bytes& to, const char* text) { to.insert(to.end(), text, text + std::strlen(text)); }

std::size_t roundUp(std::size_t size, std::size_t unit) { return (size + unit - 1) / unit * unit; }

std::uint32_t binsSizeOf(const Bytes& hive) { return hive.size() >= baseBlockSize ? readDword(hive, 40) : 0; }

// The first sector of a log: the hive's base block as the writer had it, marked
// with the log's file type and the sequence number it logs.
Bytes logCopy(const Bytes& hive, std::uint32_t fileType, std::uint32_t sequence, std::uint32_t binsSize) {
    Bytes copy(hive.begin(), hive.begin() + sectorSize);
    writeDword(copy, 4, sequence);
    writeDword(copy, 8, sequence);
    writeDword(copy, 28, fileType);
    writeDword(copy, 40, binsSize);
    writeDword(copy, 508, hivelog::baseBlockChecksum(copy.data()));
    return copy;
}

}  // namespace

Bytes minimalHive(std::uint32_t binCount) {
    Bytes hive(baseBlockSize + std::size_t{binCount} * blockSize, 0);
    std::memcpy(hive.data(), "regf", 4);
    writeDword(hive, 4, 1);
    writeDword(hive, 8, 1);
    writeQword(hive, 12, 0x01D2950589E8689EULL);
    writeDword(hive, 20, 1);
    writeDword(hive, 24, 5);
    writeDword(hive, 32, 1);
    writeDword(hive, 36, 32);
    writeDword(hive, 40, binCount * static_cast<std::uint32_t>(blockSize));
    writeDword(hive, 44, 1);
    for (std::uint32_t bin = 0; bin < binCount; ++bin) {
        const std::size_t at = baseBlockSize + std::size_t{bin} * blockSize;
        std::memcpy(hive.data() + at, "hbin", 4);
        writeDword(hive, at + 4, bin * static_cast<std::uint32_t>(blockSize));
        writeDword(hive, at + 8, static_cast<std::uint32_t>(blockSize));
        std::size_t cell = at + 32;
        if (bin == 0) {
            writeDword(hive, cell, static_cast<std::uint32_t>(-0x60));
            std::memcpy(hive.data() + cell + 4, "nk", 2);
            hive[cell + 6] = 0x2C;
            cell += 0x60;
        }
        writeDword(hive, cell, static_cast<std::uint32_t>(at + blockSize - cell));
    }
    writeQword(hive, baseBlockSize + 20, 0x01D2950589E8689EULL);
    writeDword(hive, 508, hivelog::baseBlockChecksum(hive.data()));
    return hive;
}

void setSequences(Bytes& hive, std::uint32_t primary, std::uint32_t secondary) {
    writeDword(hive, 4, primary);
    writeDword(hive, 8, secondary);
    writeDword(hive, 508, hivelog::baseBlockChecksum(hive.data()));
}

std::vector<Page> changedPages(const Bytes& before, const Bytes& after) {
    std::vector<Page> pages;
    std::vector<hivelog::PageRun> runs;
    if (after.size() >= baseBlockSize) {
        const std::size_t end = std::min<std::size_t>(after.size(), baseBlockSize + binsSizeOf(after));
        const std::size_t bins = (end - baseBlockSize) / blockSize * blockSize;
        const hivelog::ByteView old = before.size() > baseBlockSize
                                          ? hivelog::ByteView(before.data() + baseBlockSize, before.size() - baseBlockSize)
                                          : hivelog::ByteView();
        hivelog::addChangedPageRuns(old, hivelog::ByteView(after.data() + baseBlockSize, bins), 0, binsSizeOf(before),
                                    runs);
    }
    for (const hivelog::PageRun& run : runs) {
        const auto at = static_cast<std::ptrdiff_t>(baseBlockSize + run.offset);
        pages.push_back({run.offset, Bytes(after.begin() + at, after.begin() + at + run.size)});
    }
    return pages;
}

Entry entryFor(const Bytes& before, const Bytes& after, std::uint32_t sequence) {
    Entry entry;
    entry.sequence = sequence;
    entry.binsSize = binsSizeOf(after);
    entry.pages = changedPages(before, after);
    return entry;
}

Bytes newFormatLog(const Bytes& hive, std::uint32_t copySequence, const std::vector<Entry>& entries) {
    Bytes log = hivelog::newFormatLogCopy(hive.data(), copySequence);
    for (const Entry& entry : entries) {
        std::vector<hivelog::EntryPage> pages;
        for (const Page& page : entry.pages) {
            pages.push_back({page.offset, page.bytes.data(), static_cast<std::uint32_t>(page.bytes.size())});
        }
        hivelog::appendLogEntry(log, entry.sequence, entry.binsSize, entry.flags, pages);
    }
    return log;
}

std::vector<std::size_t> entryOffsets(const Bytes& log) {
    std::vector<std::size_t> offsets;
    std::size_t at = sectorSize;
    while (at + entryHeaderSize <= log.size() && std::memcmp(log.data() + at, "HvLE", 4) == 0) {
        offsets.push_back(at);
        const std::uint32_t size = readDword(log, at + 4);
        if (size == 0) {
            break;
        }
        at += size;
    }
    return offsets;
}

void sealEntry(Bytes& log, std::size_t offset) { hivelog::sealLogEntry(log.data(), log.size(), offset); }

Bytes oldFormatLog(const Bytes& before, const Bytes& after, std::uint32_t sequence) {
    const std::uint32_t binsSize = binsSizeOf(after);
    Bytes log = logCopy(before, 1, sequence, binsSize);
    append(log, "DIRT");
    const std::size_t bitmapAt = log.size();
    log.resize(roundUp(bitmapAt + binsSize / blockSize, sectorSize), 0);
    for (const Page& page : changedPages(before, after)) {
        for (std::size_t block = 0; block < page.bytes.size() / blockSize; ++block) {
            // Windows tracks changes in 4096-byte blocks, so each changed block
            // sets all eight of its 512-byte bits: one whole byte.
            log[bitmapAt + page.offset / blockSize + block] = 0xFF;
        }
        log.insert(log.end(), page.bytes.begin(), page.bytes.end());
    }
    return log;
}

DirtyHive dirtyWithNewLog(const Bytes& before, const Bytes& after) {
    DirtyHive dirty;
    dirty.primary = before;
    const std::uint32_t secondary = readDword(before, 8);
    setSequences(dirty.primary, secondary + 1, secondary);
    dirty.log1 = newFormatLog(before, secondary, {entryFor(before, after, secondary)});
    return dirty;
}

DirtyHive dirtyWithOldLog(const Bytes& before, const Bytes& after) {
    DirtyHive dirty;
    dirty.primary = before;
    const std::uint32_t secondary = readDword(before, 8);
    setSequences(dirty.primary, secondary + 1, secondary);
    dirty.log1 = oldFormatLog(before, after, secondary + 1);
    return dirty;
}

std::string inPlaceProblem(const Bytes& before, const Bytes& after, const std::vector<Log>& logs) {
    if (before.size() < baseBlockSize || !hivelog::baseBlockIsClean(after)) {
        return "the hive was left dirty";
    }
    Bytes marked = before;
    std::copy(after.begin() + 4, after.begin() + 8, marked.begin() + 4);
    std::copy(after.begin() + 12, after.begin() + 20, marked.begin() + 12);
    writeDword(marked, 508, hivelog::baseBlockChecksum(marked.data()));
    std::vector<hivelog::LogFile> files;
    for (const Log& log : logs) {
        files.push_back({log.role, log.bytes});
    }
    const hivelog::ReplayResult result = hivelog::replayHive(marked, files);
    if (result.outcome != hivelog::ReplayOutcome::replayed) {
        return "the logs do not replay the hive marked dirty: " + result.reason;
    }
    const std::uint32_t size = binsSizeOf(after);
    if (binsSizeOf(result.hive) != size || result.hive.size() < baseBlockSize + size ||
        !std::equal(after.begin() + baseBlockSize, after.begin() + baseBlockSize + size,
                    result.hive.begin() + baseBlockSize)) {
        return "the hive bins its logs replay differ from the file's";
    }
    return {};
}

}  // namespace logwriter
