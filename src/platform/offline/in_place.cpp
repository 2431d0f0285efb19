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

constexpr std::size_t baseBlockSize = hivelog::baseBlockSize;

std::uint32_t readDword(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void writeDword(unsigned char* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

LONG failed() { return statusFromErrno(errno != 0 ? errno : EIO); }

bool durable(int fd, const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
    return writeAt(fd, bytes, size, offset) && fsync(fd) == 0;
}

}  // namespace

LONG writeThroughLog(int hive, int log, hivelog::ByteView old, hivelog::ByteView written,
                     std::uint32_t entrySequence) {
    if (old.size < baseBlockSize || written.size < baseBlockSize) {
        return ERROR_WRITE_FAULT;
    }
    // Everything is prepared before the first write: the old file's bytes
    // are read through a mapping that the writes below change.
    const std::vector<hivelog::PageRun> runs = hivelog::changedPageRuns(old, written);
    const std::vector<unsigned char> entry = hivelog::newFormatLogOf(written, entrySequence, runs);
    // The first write of a primary raises its primary sequence number and
    // stamps its last-written time; the rest of the old base block stays.
    std::vector<unsigned char> marked(old.data, old.data + baseBlockSize);
    std::memcpy(marked.data() + 4, written.data + 4, 4);
    std::memcpy(marked.data() + 12, written.data + 12, 8);
    writeDword(marked.data() + 508, hivelog::baseBlockChecksum(marked.data()));
    if (readDword(marked.data() + 4) == readDword(marked.data() + 8)) {
        return ERROR_WRITE_FAULT;  // it would not be dirty, and the log would be ignored
    }

    errno = 0;
    if (!durable(log, entry.data(), entry.size(), 0)) {
        return failed();
    }
    if (!durable(hive, marked.data(), marked.size(), 0)) {
        return failed();
    }
    for (const hivelog::PageRun& run : runs) {
        const std::uint64_t at = baseBlockSize + std::uint64_t{run.offset};
        if (!writeAt(hive, written.data + at, run.size, at)) {
            return failed();
        }
    }
    if (fsync(hive) != 0 || !durable(hive, written.data, baseBlockSize, 0)) {
        return failed();
    }
    return ERROR_SUCCESS;
}

}  // namespace offline
