// Replay of old-format logs (Windows XP to 8): a base block copy, a "DIRT"
// dirty vector with one bit per 512-byte page of the hive bins, and the dirty
// pages themselves, in bit order.
#include <algorithm>

#include "replay_internal.h"

namespace hivelog::detail {

namespace {

constexpr std::size_t dirtyVectorAt = logSectorSize;
constexpr std::size_t pageSize = 512;

int bitCount(unsigned char byte) {
    int count = 0;
    for (; byte != 0; byte &= static_cast<unsigned char>(byte - 1)) {
        ++count;
    }
    return count;
}

struct DirtyVector {
    const unsigned char* bitmap = nullptr;
    std::size_t bitmapSize = 0;
    std::size_t pagesAt = 0;
};

// The dirty vector of a log whose copy is sound, when the log holds every page
// it marks dirty and marks at least one: a log is written before a write of
// the hive with the pages that write changes, so one that marks none is not
// the log of the write that left the hive dirty.
bool readDirtyVector(ByteView log, std::uint32_t binsSize, DirtyVector& vector) {
    if (binsSize == 0 || binsSize % binAlignment != 0) {
        return false;
    }
    // One bit per 512-byte page, so one byte per 4096 bytes of bins.
    vector.bitmapSize = binsSize / binAlignment;
    if (log.size < dirtyVectorAt + 4 || log.size - dirtyVectorAt - 4 < vector.bitmapSize ||
        !hasSignature(log.data + dirtyVectorAt, "DIRT")) {
        return false;
    }
    vector.bitmap = log.data + dirtyVectorAt + 4;
    const std::size_t vectorEnd = dirtyVectorAt + 4 + vector.bitmapSize;
    vector.pagesAt = (vectorEnd + logSectorSize - 1) / logSectorSize * logSectorSize;
    std::uint64_t pages = 0;
    for (std::size_t i = 0; i < vector.bitmapSize; ++i) {
        pages += static_cast<std::uint64_t>(bitCount(vector.bitmap[i]));
    }
    return pages > 0 && vector.pagesAt <= log.size && pages * pageSize <= log.size - vector.pagesAt;
}

}  // namespace

Recovery replayOldFormat(ByteView primary, bool primarySound, const std::vector<LogSource>& logs,
                         std::uint64_t sizeLimit) {
    Recovery recovery;
    // A log applies to the primary whose last-written time it carries. A torn
    // base block cannot vouch for its time, so the copy of that time in the
    // header of the first hive bin stands in for it, as the notes describe;
    // so does the time the torn block still holds, since Windows does not
    // renew the first bin's copy on every write (Windows' own OldDirtyHive
    // has an older one there) and a tear that spoils the checksum seldom
    // reaches the time. Either way the log's copy must be sound, and the
    // replayed bins must pass their checks.
    std::vector<std::uint64_t> times;
    times.push_back(readQword(primary.data + lastWrittenAt));
    if (!primarySound && primary.size >= baseBlockSize + 32 && hasSignature(primary.data + baseBlockSize, "hbin")) {
        times.push_back(readQword(primary.data + firstBinTimestampAt));
    }

    // The first log, in the order LOG1, LOG2, LOG, that is sound, complete and
    // carries the primary's time is applied, and only that one. Windows 8 may
    // also take LOG2 when its time differs (a cumulative log after failed
    // writes); we do not, since nothing then shows that its pages belong to
    // this primary, and a refusal leaves the files as they are.
    const LogSource* chosen = nullptr;
    DirtyVector vector;
    for (const LogSource& source : logs) {
        const bool ofThisPrimary = std::find(times.begin(), times.end(), source.copy.lastWritten) != times.end();
        if (ofThisPrimary && readDirtyVector(source.file->bytes, source.copy.binsSize, vector)) {
            chosen = &source;
            break;
        }
    }
    if (chosen == nullptr) {
        recovery.refusal = Refusal::noUsableLog;
        recovery.reason = "no complete old-format log carries the hive's last-written time";
        return recovery;
    }
    const std::uint64_t needed = baseBlockSize + std::uint64_t{chosen->copy.binsSize};
    if (needed > sizeLimit) {
        recovery.refusal = Refusal::inconsistent;
        recovery.reason = "the log grows the hive beyond what the logs can fill";
        return recovery;
    }

    const ByteView log = chosen->file->bytes;
    recovery.hive.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(primary.size, needed)));
    recovery.hive.assign(primary.data, primary.data + primary.size);
    if (recovery.hive.size() < needed) {
        recovery.hive.resize(static_cast<std::size_t>(needed), 0);
    }
    if (!primarySound) {
        std::memcpy(recovery.hive.data(), log.data, logSectorSize);
        writeDword(recovery.hive.data() + fileTypeAt, primaryFileType);
    }
    writeDword(recovery.hive.data() + binsSizeAt, chosen->copy.binsSize);
    const unsigned char* page = log.data + vector.pagesAt;
    for (std::size_t bit = 0; bit < vector.bitmapSize * 8; ++bit) {
        if ((vector.bitmap[bit / 8] >> (bit % 8) & 1) != 0) {
            std::memcpy(recovery.hive.data() + baseBlockSize + pageSize * bit, page, pageSize);
            page += pageSize;
            ++recovery.applied;
        }
    }
    return recovery;
}

}  // namespace hivelog::detail
