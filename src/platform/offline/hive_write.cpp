// Writing a loaded hive back into its file: the fields hivex cannot write,
// the check that what is written would load, and the two write paths.
#include "platform/offline/hive_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/linux/directory.h"
#include "platform/offline/file_io.h"
#include "platform/offline/in_place.h"
#include "platform/offline/replay/hive_log.h"

namespace offline {

namespace {

using hivelog::baseBlockSize;

std::string temporaryName(const std::string& hiveName) {
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return hiveName + temporaryMark + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" +
           std::to_string(now.tv_nsec) + ".tmp";
}

// hivex commits a hive to a file given by path only. A hive written in place
// goes to a file in memory first, one for the whole run, from which only
// the pages that changed reach the volume.
LONG commitToMemory(hive_h* hive, int& fd) {
    static UniqueFd scratch;
    if (!scratch) {
        scratch.reset(memfd_create("tarnwick-written-hive", MFD_CLOEXEC));
        if (!scratch) {
            return statusFromErrno(errno);
        }
    }
    errno = 0;
    if (hivex_commit(hive, procPath(scratch.get()).c_str(), 0) != 0) {
        const int error = errno;
        scratch.reset();
        if (error == ENOSPC || error == ENOMEM) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        return error != 0 ? statusFromErrno(error) : ERROR_WRITE_FAULT;
    }
    fd = scratch.get();
    return ERROR_SUCCESS;
}

}  // namespace

// What hivex cannot write, written into the file it committed: the key times
// a change set, the time the hive is written (in the base block and, as
// Windows keeps it, in the header of the first hive bin), and the sequence
// numbers. hivex numbers a hive one above the primary it read, which may lie
// below an entry in the logs; both numbers one above all of those keep any
// stale log entry from ever passing for the continuation of a log that
// Windows writes later.
LONG HiveFile::finishCommittedFile(int fd, std::uint64_t writtenAt, std::uint32_t sequence) const {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return statusFromErrno(errno);
    }
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    unsigned char time[8];
    for (const auto& [cell, stamp] : keyTimes_) {
        // A node is the file offset of the key's nk cell. hivex writes new
        // cells elsewhere and never moves a key's own, so the offset taken
        // when the key was stamped still names it; a cell there that is not
        // an allocated nk cell would be written over blindly, so the
        // write-back stops instead.
        unsigned char head[16];
        if (cell < baseBlockSize + 32 || cell + sizeof(head) > fileSize || !readAt(fd, head, sizeof(head), cell)) {
            return ERROR_WRITE_FAULT;
        }
        const auto cellSize = static_cast<std::int32_t>(hivelog::readDword(head));
        if (cellSize >= 0 || std::memcmp(head + 4, "nk", 2) != 0) {
            return ERROR_WRITE_FAULT;
        }
        hivelog::writeQword(time, stamp);
        if (!writeAt(fd, time, sizeof(time), cell + 8)) {
            return statusFromErrno(errno);
        }
    }
    std::vector<unsigned char> header;
    unsigned char firstBin[4];
    if (!readBaseBlock(fd, header) || !readAt(fd, firstBin, sizeof(firstBin), baseBlockSize)) {
        return ERROR_WRITE_FAULT;
    }
    if (std::memcmp(firstBin, "hbin", 4) == 0) {
        hivelog::writeQword(time, writtenAt);
        if (!writeAt(fd, time, sizeof(time), hivelog::firstBinTimestampAt)) {
            return statusFromErrno(errno);
        }
    }
    hivelog::makeCleanBaseBlock(header.data(), sequence, writtenAt);
    if (!writeAt(fd, header.data(), header.size(), 0)) {
        return statusFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

// What goes into the hive's place must itself pass the checks a load makes.
LONG HiveFile::checkWritten(int fd) const {
    std::vector<unsigned char> header;
    BaseBlock base;
    if (!readBaseBlock(fd, header) || !parseBaseBlock(header.data(), header.size(), base) || !base.checksumMatches ||
        base.primarySequence != base.secondarySequence) {
        return ERROR_WRITE_FAULT;
    }
    if (!UniqueHive(hivex_open(procPath(fd).c_str(), 0))) {
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

LONG HiveFile::writeBack(std::uint64_t writtenAt) {
    if (!writable_ || !hive_) {
        return ERROR_ACCESS_DENIED;
    }
    const LONG status = writePath_ == WritePath::inPlace ? writeInPlace(writtenAt) : replaceAtomically(writtenAt);
    if (status == ERROR_SUCCESS) {
        changed_ = false;
    }
    return status;
}

LONG HiveFile::writeInPlace(std::uint64_t writtenAt) {
    int memory = -1;
    const LONG committed = commitToMemory(hive_.get(), memory);
    // The hive is unloaded after its write-back whatever the outcome, so its
    // memory is given back now: the check below reads the new hive whole, and
    // holding both would double the peak for the largest hive.
    hive_.reset();
    if (committed != ERROR_SUCCESS) {
        return committed;
    }
    // The entry takes nextSequence_, the hive the number above it.
    LONG status = finishCommittedFile(memory, writtenAt, nextSequence_ + 1);
    if (status == ERROR_SUCCESS) {
        status = checkWritten(memory);
    }
    if (status == ERROR_SUCCESS) {
        status = writeThroughLog(hiveForWriting_.get(), logForWriting_.get(), memory, nextSequence_);
    }
    return status;
}

LONG HiveFile::replaceAtomically(std::uint64_t writtenAt) {
    const int directory = file_.directory.get();
    // Removed again on every return below until it has replaced the hive.
    TemporaryFile out;
    if (!out.create(directory, temporaryName(file_.name), 0600)) {
        return statusFromErrno(errno);
    }
    errno = 0;
    if (hivex_commit(hive_.get(), procPath(out.fd()).c_str(), 0) != 0) {
        return errno != 0 ? statusFromErrno(errno) : ERROR_WRITE_FAULT;
    }
    // As for a write in place: the check below reads the new file whole.
    hive_.reset();
    LONG status = finishCommittedFile(out.fd(), writtenAt, nextSequence_);
    if (status == ERROR_SUCCESS) {
        status = checkWritten(out.fd());
    }
    if (status != ERROR_SUCCESS) {
        return status;
    }
    struct stat made;
    if (fstat(out.fd(), &made) != 0) {
        return statusFromErrno(errno);
    }
    if ((made.st_uid != original_.st_uid || made.st_gid != original_.st_gid) &&
        fchown(out.fd(), original_.st_uid, original_.st_gid) != 0) {
        return statusFromErrno(errno);
    }
    if (fchmod(out.fd(), original_.st_mode & 07777) != 0) {
        return statusFromErrno(errno);
    }
    const LONG copied = copyAttributes(lockedFile_.get(), out.fd());
    if (copied != ERROR_SUCCESS) {
        return copied;
    }
    // Everything above is in the file before it is made durable, and the
    // file is durable before its name replaces the hive's; the folder is
    // synced last, so that the rename itself survives a power loss.
    if (fsync(out.fd()) != 0) {
        return statusFromErrno(errno);
    }
    if (!out.commit(file_.name)) {
        return statusFromErrno(errno);
    }
    changed_ = false;
    if (!syncDirectory(directory)) {
        return statusFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

}  // namespace offline
