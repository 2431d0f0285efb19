// The base block of a primary file and its copy at the start of a log file.
#include "replay_internal.h"

namespace hivelog {

using namespace detail;

std::uint32_t baseBlockChecksum(const unsigned char* baseBlock) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < checksumAt; at += 4) {
        sum ^= readDword(baseBlock + at);
    }
    if (sum == 0) {
        return 1;
    }
    if (sum == 0xFFFFFFFFu) {
        return 0xFFFFFFFEu;
    }
    return sum;
}

bool baseBlockIsClean(ByteView hive) {
    return hive.size >= baseBlockSize && hasSignature(hive.data, "regf") &&
           baseBlockChecksum(hive.data) == readDword(hive.data + checksumAt) &&
           readDword(hive.data + primarySequenceAt) == readDword(hive.data + secondarySequenceAt);
}

void makeCleanBaseBlock(unsigned char* baseBlock, std::uint32_t sequence, std::uint64_t lastWritten) {
    writeDword(baseBlock + primarySequenceAt, sequence);
    writeDword(baseBlock + secondarySequenceAt, sequence);
    writeQword(baseBlock + lastWrittenAt, lastWritten);
    writeDword(baseBlock + fileTypeAt, primaryFileType);
    writeDword(baseBlock + checksumAt, baseBlockChecksum(baseBlock));
}

namespace detail {

LogCopy readLogCopy(ByteView log) {
    LogCopy copy;
    if (log.size < logSectorSize || !hasSignature(log.data, "regf")) {
        return copy;
    }
    copy.fileType = readDword(log.data + fileTypeAt);
    copy.sequence = readDword(log.data + primarySequenceAt);
    copy.lastWritten = readQword(log.data + lastWrittenAt);
    copy.binsSize = readDword(log.data + binsSizeAt);
    // The notes call a log valid when its copy is as the writer made it: the
    // checksum over the copy, and both sequence numbers equal, since the writer
    // sets them together before it writes the log.
    copy.sound = baseBlockChecksum(log.data) == readDword(log.data + checksumAt) &&
                 copy.sequence == readDword(log.data + secondarySequenceAt);
    return copy;
}

}  // namespace detail

}  // namespace hivelog
