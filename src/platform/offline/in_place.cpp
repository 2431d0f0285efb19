#include "platform/offline/in_place.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/offline/file_io.h"
#include "platform/offline/replay/log_entry.h"
#include "platform/offline/volume_paths.h"

namespace offline {

namespace {

using hivelog::baseBlockSize;
using hivelog::readDword;
// How much of the file is read at a time to compare it with the new hive.
constexpr std::size_t chunkSize = 256 * 1024;

LONG failed() { return statusFromErrno(errno != 0 ? errno : EIO); }

// fdatasync: the bytes and the size a read needs, without the times, which
// would cost another write of the file's metadata each time.
bool durable(int fd, const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
    return writeAt(fd, bytes, size, offset) && fdatasync(fd) == 0;
}

bool sizeOf(int fd, std::uint64_t& size) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

// The runs of pages of the new hive bins that the log must carry. The new
// hive, which is in memory already, is mapped; the file is read a part at a
// time, so that neither is held whole a second time.
bool changedRuns(int hive, std::uint64_t hiveSize, std::uint32_t oldBins, int written, std::uint32_t newBins,
                 std::vector<hivelog::PageRun>& runs) {
    const MappedFile mapped(written, baseBlockSize + std::size_t{newBins});
    if (mapped.bytes().data == nullptr) {
        return false;
    }
    const unsigned char* after = mapped.bytes().data + baseBlockSize;
    // Reused from hive to hive: a run writes hundreds of them.
    static std::vector<unsigned char> before(chunkSize);
    for (std::uint64_t offset = 0; offset < newBins; offset += chunkSize) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(chunkSize, newBins - offset));
        const std::uint64_t at = baseBlockSize + offset;
        const std::size_t present =
            at < hiveSize ? static_cast<std::size_t>(std::min<std::uint64_t>(size, hiveSize - at)) : 0;
        if (present > 0 && !readAt(hive, before.data(), present, at)) {
            return false;
        }
        hivelog::addChangedPageRuns(hivelog::ByteView(before.data(), present), hivelog::ByteView(after + offset, size),
                                    static_cast<std::uint32_t>(offset), oldBins, runs);
    }
    return true;
}

}  // namespace

LONG writeThroughLog(int hive, int log, int written, std::uint32_t entrySequence) {
    errno = 0;
    std::uint64_t hiveSize = 0;
    std::uint64_t writtenSize = 0;
    unsigned char oldBase[baseBlockSize];
    unsigned char newBase[baseBlockSize];
    if (!sizeOf(hive, hiveSize) || !sizeOf(written, writtenSize) || !readAt(hive, oldBase, baseBlockSize, 0) ||
        !readAt(written, newBase, baseBlockSize, 0)) {
        return failed();
    }
    const std::uint32_t newBins = readDword(newBase + hivelog::binsSizeAt);
    if (newBins % hivelog::hivePageSize != 0 || baseBlockSize + std::uint64_t{newBins} > writtenSize) {
        return ERROR_WRITE_FAULT;
    }
    // Everything is prepared before the first write.
    std::vector<hivelog::PageRun> runs;
    if (!changedRuns(hive, hiveSize, readDword(oldBase + hivelog::binsSizeAt), written, newBins, runs)) {
        return failed();
    }
    std::size_t pagesSize = 0;
    for (const hivelog::PageRun& run : runs) {
        pagesSize += run.size;
    }
    std::vector<unsigned char> pages(pagesSize);
    std::size_t at = 0;
    for (const hivelog::PageRun& run : runs) {
        if (!readAt(written, pages.data() + at, run.size, baseBlockSize + run.offset)) {
            return failed();
        }
        at += run.size;
    }
    const std::vector<unsigned char> entry = hivelog::newFormatLogOf(newBase, entrySequence, runs, pages.data());
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
    at = 0;
    for (const hivelog::PageRun& run : runs) {
        if (!writeAt(hive, pages.data() + at, run.size, baseBlockSize + run.offset)) {
            return failed();
        }
        at += run.size;
    }
    if (fdatasync(hive) != 0 || !durable(hive, newBase, baseBlockSize, 0)) {
        return failed();
    }
    return ERROR_SUCCESS;
}

}  // namespace offline
