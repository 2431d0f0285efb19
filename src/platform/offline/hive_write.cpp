// Writing a loaded hive back into its file, by one of the two write paths:
// only the pages the engine changed, in place through a log entry; or a whole
// new file, renamed over the hive.
#include "platform/offline/hive_file.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/linux/directory.h"
#include "platform/offline/file_io.h"
#include "platform/offline/in_place.h"
#include "platform/offline/replay/hive_log.h"
#include "platform/offline/replay/log_entry.h"

namespace offline {

namespace {

using hivelog::baseBlockSize;
using hivelog::hivePageSize;

std::string temporaryName(const std::string& hiveName) {
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return hiveName + temporaryMark + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" +
           std::to_string(now.tv_nsec) + ".tmp";
}

// Copies bytes of one file into another at the same offset: in the kernel
// where the file system can, else through a buffer reused from hive to hive.
bool copyRange(int from, int to, std::uint64_t offset, std::uint64_t size) {
    while (size > 0) {
        loff_t in = static_cast<loff_t>(offset);
        loff_t out = static_cast<loff_t>(offset);
        const ssize_t copied = copy_file_range(from, &in, to, &out, static_cast<std::size_t>(size), 0);
        if (copied > 0) {
            offset += static_cast<std::uint64_t>(copied);
            size -= static_cast<std::uint64_t>(copied);
            continue;
        }
        if (copied < 0 && errno == EINTR) {
            continue;
        }
        if (copied == 0 || errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) {
            break;
        }
        return false;
    }
    static std::vector<unsigned char> buffer(1 << 20);
    while (size > 0) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffer.size()));
        if (!readAt(from, buffer.data(), part, offset) || !writeAt(to, buffer.data(), part, offset)) {
            if (errno == 0) {
                errno = EIO;
            }
            return false;
        }
        offset += part;
        size -= part;
    }
    return true;
}

// What is about to replace the hive must itself pass the checks a load makes
// of a base block.
bool soundBaseBlock(const unsigned char* image, std::size_t size) {
    BaseBlock base;
    return size >= baseBlockSize && parseBaseBlock(image, size, base) && base.checksumMatches &&
           base.primarySequence == base.secondarySequence &&
           std::uint64_t{hivelog::readDword(image + hivelog::binsSizeAt)} + baseBlockSize == size;
}

}  // namespace

LONG HiveFile::writeBack(std::uint64_t writtenAt) {
    if (!writable_ || !hive_) {
        return ERROR_ACCESS_DENIED;
    }
    // A change that met a damaged cell half way may have left the image
    // half changed, and the bins no change read were not checked yet: a
    // damaged hive keeps what its file holds.
    if (hive_->broken() || hive_->checkWhole() != ERROR_SUCCESS) {
        hive_.reset();
        return ERROR_BADDB;
    }
    // In place, the entry takes nextSequence_ and the hive the number above.
    const bool inPlace = writePath_ == WritePath::inPlace;
    hive_->finishBaseBlock(inPlace ? nextSequence_ + 1 : nextSequence_, writtenAt);
    if (!soundBaseBlock(hive_->image(), hive_->imageSize())) {
        hive_.reset();
        return ERROR_WRITE_FAULT;
    }
    const LONG status = inPlace ? writeThroughLog(hiveForWriting_.get(), logForWriting_.get(), hive_->image(),
                                                  hive_->imageSize(), hive_->dirtyPages(), nextSequence_)
                                : replaceAtomically();
    // The hive is unloaded after its write-back whatever the outcome.
    hive_.reset();
    return status;
}

LONG HiveFile::replaceAtomically() {
    const int directory = file_.directory.get();
    // Removed again on every return below until it has replaced the hive.
    TemporaryFile out;
    if (!out.create(directory, temporaryName(file_.name), 0600)) {
        return statusFromErrno(errno);
    }
    errno = 0;
    const unsigned char* const image = hive_->image();
    const std::size_t size = hive_->imageSize();
    if (replayed_) {
        // The file holds the hive before its logs: all of it comes from memory.
        if (!writeAt(out.fd(), image, size, 0)) {
            return statusFromErrno(errno != 0 ? errno : EIO);
        }
    } else {
        // The pages the engine did not change are the file's own: copied from
        // it, so that they need not be read into this process.
        if (!writeAt(out.fd(), image, baseBlockSize, 0)) {
            return statusFromErrno(errno != 0 ? errno : EIO);
        }
        const std::vector<std::uint32_t> dirty = hive_->dirtyPages();
        const std::uint64_t pages = (size - baseBlockSize) / hivePageSize;
        std::size_t next = 0;
        for (std::uint64_t page = 0; page < pages;) {
            const bool changed = next < dirty.size() && dirty[next] == page;
            std::uint64_t end = page + 1;
            if (changed) {
                for (++next; next < dirty.size() && dirty[next] == end && end < pages; ++next) {
                    ++end;
                }
            } else {
                end = next < dirty.size() ? std::min<std::uint64_t>(dirty[next], pages) : pages;
            }
            const std::uint64_t offset = baseBlockSize + page * hivePageSize;
            const std::uint64_t length = (end - page) * hivePageSize;
            const bool written = changed ? writeAt(out.fd(), image + offset, static_cast<std::size_t>(length), offset)
                                         : copyRange(lockedFile_.get(), out.fd(), offset, length);
            if (!written) {
                return statusFromErrno(errno != 0 ? errno : EIO);
            }
            page = end;
        }
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
    if (!syncDirectory(directory)) {
        return statusFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

}  // namespace offline
