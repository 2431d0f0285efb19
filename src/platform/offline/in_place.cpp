#include "platform/offline/in_place.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/offline/file_io.h"
#include "platform/offline/replay/log_entry.h"
#include "platform/offline/volume_paths.h"

namespace offline {

namespace {

using hivelog::baseBlockSize;
using hivelog::hivePageSize;
using hivelog::readDword;

LONG failed() { return statusFromErrno(errno != 0 ? errno : EIO); }

// fdatasync: the bytes and the size a read needs, without the times, which
// would cost another write of the file's metadata each time.
bool durable(int fd, const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
    return writeAt(fd, bytes, size, offset) && fdatasync(fd) == 0;
}

// The dirty pages as runs of adjacent ones.
std::vector<hivelog::PageRun> runsOf(const std::vector<std::uint32_t>& pages) {
    std::vector<hivelog::PageRun> runs;
    for (const std::uint32_t page : pages) {
        const auto offset = static_cast<std::uint32_t>(page * hivePageSize);
        if (!runs.empty() && runs.back().offset + runs.back().size == offset) {
            runs.back().size += static_cast<std::uint32_t>(hivePageSize);
        } else {
            runs.push_back({offset, static_cast<std::uint32_t>(hivePageSize)});
        }
    }
    return runs;
}

}  // namespace

LONG writeThroughLog(int hive, int log, const unsigned char* image, std::size_t size,
                     const std::vector<std::uint32_t>& dirtyPages, std::uint32_t entrySequence) {
    errno = 0;
    unsigned char oldBase[baseBlockSize];
    if (size < baseBlockSize || !readAt(hive, oldBase, baseBlockSize, 0)) {
        return failed();
    }
    const unsigned char* const newBase = image;
    const unsigned char* const bins = image + baseBlockSize;
    const std::uint32_t newBins = readDword(newBase + hivelog::binsSizeAt);
    if (newBins % hivePageSize != 0 || baseBlockSize + std::uint64_t{newBins} > size) {
        return ERROR_WRITE_FAULT;
    }
    // Everything is prepared before the first write.
    const std::vector<hivelog::PageRun> runs = runsOf(dirtyPages);
    for (const hivelog::PageRun& run : runs) {
        if (std::uint64_t{run.offset} + run.size > newBins) {
            return ERROR_WRITE_FAULT;
        }
    }
    const std::vector<unsigned char> entry = hivelog::newFormatLogOf(newBase, entrySequence, runs, bins);
    // The first write of a primary raises its primary sequence number and
    // stamps its last-written time; the rest of the old base block stays.
    unsigned char marked[baseBlockSize];
    std::memcpy(marked, oldBase, baseBlockSize);
    std::memcpy(marked + hivelog::primarySequenceAt, newBase + hivelog::primarySequenceAt, 4);
    std::memcpy(marked + hivelog::lastWrittenAt, newBase + hivelog::lastWrittenAt, 8);
    hivelog::writeDword(marked + hivelog::checksumAt, hivelog::baseBlockChecksum(marked));
    if (readDword(marked + hivelog::primarySequenceAt) == readDword(marked + hivelog::secondarySequenceAt)) {
        return ERROR_WRITE_FAULT;  // it would not be dirty, and the log would be ignored
    }

    if (!durable(log, entry.data(), entry.size(), 0) || !durable(hive, marked, baseBlockSize, 0)) {
        return failed();
    }
    for (const hivelog::PageRun& run : runs) {
        if (!writeAt(hive, bins + run.offset, run.size, baseBlockSize + run.offset)) {
            return failed();
        }
    }
    if (fdatasync(hive) != 0 || !durable(hive, newBase, baseBlockSize, 0)) {
        return failed();
    }
    return ERROR_SUCCESS;
}

}  // namespace offline
