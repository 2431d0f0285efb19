#include "platform/offline/hive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/emulation/names.h"
#include "platform/linux/directory.h"
#include "platform/linux/utf.h"
#include "platform/offline/file_io.h"
#include "platform/offline/replay/hive_log.h"
#include "platform/offline/replay/log_entry.h"

namespace offline {

const char* const temporaryMark = ".tarnwick-";

struct VolumeLog {
    hivelog::LogRole role;
    std::string name;
    struct stat status;
    std::vector<unsigned char> bytes;  // a dirty hive's logs, read whole for the replay
    hivelog::LogNumbers numbers;       // a clean hive's, what its write-back must know
};

namespace {

using hivelog::baseBlockSize;
using hivelog::readDword;
constexpr std::size_t smallestHive = 8192;

// Log files are found as Windows finds them on NTFS: without regard to case,
// by the volume's own upper-case table.
bool sameVolumeName(const std::string& a, const std::string& b) {
    return emulation::sameName(wideFromUtf8(a), wideFromUtf8(b));
}

// The transaction logs beside the hive: <hive>.LOG1, .LOG2 and .LOG (one of
// them may later be written in place: chooseWritePath). A dirty hive's are
// read whole for the replay; of a clean one's, numbered `floor`, only what
// bears on its write-back (a log holds its last entry long after the hive
// has taken it in, and need not be read for that). A log that is there but
// cannot be read ends the load with its status: nothing could then vouch for
// the hive or for the sequence numbers a write-back must stay above.
LONG readLogs(int directory, const std::string& hiveName, const std::vector<std::string>& entries, bool whole,
              std::uint32_t floor, std::vector<VolumeLog>& out) {
    const hivelog::LogNames names = hivelog::findLogNames(hiveName, entries, sameVolumeName);
    const std::pair<hivelog::LogRole, const std::string*> found[] = {
        {hivelog::LogRole::log1, &names.log1},
        {hivelog::LogRole::log2, &names.log2},
        {hivelog::LogRole::log, &names.log}};
    for (const auto& [role, name] : found) {
        if (name->empty()) {
            continue;
        }
        const UniqueFd log(openat(directory, name->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (!log || fstat(log.get(), &st) != 0) {
            return statusFromErrno(errno);
        }
        // A link or a folder in a log's place is nothing Windows wrote.
        if (!S_ISREG(st.st_mode)) {
            return ERROR_ACCESS_DENIED;
        }
        VolumeLog found{role, *name, st, {}, {}};
        const int fd = log.get();
        errno = 0;
        const bool read = whole ? readWhole(fd, found.bytes)
                                : hivelog::readLogNumbers(
                                      [fd](std::uint64_t offset, unsigned char* to, std::size_t length) {
                                          return readAt(fd, to, length, offset);
                                      },
                                      static_cast<std::uint64_t>(st.st_size), floor, found.numbers);
        if (!read) {
            return statusFromErrno(errno != 0 ? errno : EIO);
        }
        out.push_back(std::move(found));
    }
    return ERROR_SUCCESS;
}

std::vector<hivelog::LogFile> logViews(const std::vector<VolumeLog>& logs) {
    std::vector<hivelog::LogFile> views;
    for (const VolumeLog& log : logs) {
        views.push_back({log.role, hivelog::ByteView(log.bytes)});
    }
    return views;
}

bool isTemporaryOf(const std::string& entry, const std::string& hiveName) {
    const std::string prefix = hiveName + temporaryMark;
    const std::string suffix = ".tmp";
    return entry.size() > prefix.size() + suffix.size() && entry.compare(0, prefix.size(), prefix) == 0 &&
           entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Temporary files of this hive left by a run that was killed before its
// rename, among the folder's entries listed while the hive's lock was held,
// so that no live run is writing one of them.
void removeStaleTemporaries(int directory, const std::string& hiveName, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        if (isTemporaryOf(name, hiveName)) {
            unlinkat(directory, name.c_str(), 0);
        }
    }
}

}  // namespace

bool parseBaseBlock(const unsigned char* bytes, std::size_t size, BaseBlock& out) {
    if (size < baseBlockSize || std::memcmp(bytes, "regf", 4) != 0) {
        return false;
    }
    const std::uint32_t major = readDword(bytes + hivelog::majorVersionAt);
    out.minorVersion = readDword(bytes + hivelog::minorVersionAt);
    if (major != 1 || out.minorVersion < 2 || out.minorVersion > 6 || readDword(bytes + hivelog::fileTypeAt) != 0) {
        return false;
    }
    out.primarySequence = readDword(bytes + hivelog::primarySequenceAt);
    out.secondarySequence = readDword(bytes + hivelog::secondarySequenceAt);
    out.checksumMatches = hivelog::baseBlockChecksum(bytes) == readDword(bytes + hivelog::checksumAt);
    return true;
}

LONG HiveFile::open(const std::string& driveDirectory, const std::wstring& windowsPath, bool writable,
                    std::unique_ptr<HiveFile>& out) {
    std::unique_ptr<HiveFile> file(new HiveFile());
    file->writable_ = writable;
    const LONG resolved = resolveVolumeFile(driveDirectory, windowsPath, file->file_);
    if (resolved != ERROR_SUCCESS) {
        return resolved;
    }
    const int directory = file->file_.directory.get();
    const char* name = file->file_.name.c_str();
    file->lockedFile_ = UniqueFd(openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file->lockedFile_) {
        return statusFromErrno(errno);
    }
    const int fd = file->lockedFile_.get();
    struct stat& st = file->original_;
    if (fstat(fd, &st) != 0) {
        return statusFromErrno(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return ERROR_ACCESS_DENIED;
    }
    if (writable) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            return errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : statusFromErrno(errno);
        }
        // Another run may have renamed a new file over this name between our
        // open and our lock; its hive is then not the one we hold.
        struct stat now;
        if (fstatat(directory, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_ino != st.st_ino ||
            now.st_dev != st.st_dev) {
            return ERROR_SHARING_VIOLATION;
        }
    }

    // Windows replays a dirty hive's logs when it loads it, and so do we,
    // before any other check: those then judge the hive as replayed.
    std::vector<unsigned char> header;
    if (!readBaseBlock(fd, header)) {
        return ERROR_BADDB;
    }
    const bool clean = hivelog::baseBlockIsClean(header);
    // A clean hive's logs still count when it is written: see nextSequence_.
    std::vector<VolumeLog> logs;
    std::vector<std::string> entries;  // the folder's, listed once for the logs and the temporary files
    if (writable || !clean) {
        if (!listDirectory(directory, entries)) {
            return statusFromErrno(errno);
        }
        const LONG read = readLogs(directory, file->file_.name, entries, !clean,
                                   readDword(header.data() + hivelog::primarySequenceAt), logs);
        if (read != ERROR_SUCCESS) {
            return read;
        }
    }
    std::vector<unsigned char> replayed;
    if (clean) {
        std::uint32_t highest = readDword(header.data() + hivelog::primarySequenceAt);
        for (const VolumeLog& log : logs) {
            highest = std::max(highest, log.numbers.highest);
        }
        if (writable && highest == 0xFFFFFFFFu) {
            return ERROR_NOT_SUPPORTED;
        }
        file->nextSequence_ = highest + 1;
        if (writable) {
            file->chooseWritePath(directory, logs, readDword(header.data() + hivelog::secondarySequenceAt));
        }
    }
    // A second name for the file would keep the old contents after a
    // rename, and may sit anywhere on the host's file system; a write in
    // place reaches it too.
    if (writable && file->writePath_ == WritePath::atomic && st.st_nlink > 1) {
        return ERROR_ACCESS_DENIED;
    }
    if (!clean) {
        const MappedFile mapped(fd, static_cast<std::size_t>(st.st_size));
        std::vector<unsigned char> read;
        if (mapped.bytes().data == nullptr && !readWhole(fd, read)) {
            return statusFromErrno(errno);
        }
        const hivelog::ByteView primary = mapped.bytes().data != nullptr ? mapped.bytes() : hivelog::ByteView(read);
        hivelog::ReplayResult result = hivelog::replayHive(primary, logViews(logs));
        if (result.outcome != hivelog::ReplayOutcome::replayed) {
            // A sound base block with differing sequence numbers says its logs
            // hold changes it lacks: the hive is pending, not broken, and
            // Windows would recover it; we cannot. One whose base block is
            // torn and that no log restores is a damaged file.
            const bool pending = std::memcmp(header.data(), "regf", 4) == 0 &&
                                 hivelog::baseBlockChecksum(header.data()) == readDword(header.data() + hivelog::checksumAt);
            return pending ? ERROR_NOT_SUPPORTED : ERROR_BADDB;
        }
        replayed = std::move(result.hive);
        // The replay numbers the hive one above every sequence number in the
        // primary and its logs, as Windows does.
        file->nextSequence_ = readDword(replayed.data() + hivelog::primarySequenceAt);
        file->replayed_ = true;
    }

    const unsigned char* bytes = file->replayed_ ? replayed.data() : header.data();
    const std::uint64_t size = file->replayed_ ? replayed.size() : static_cast<std::uint64_t>(st.st_size);
    BaseBlock base;
    if (size < smallestHive || !parseBaseBlock(bytes, baseBlockSize, base) || !base.checksumMatches ||
        base.primarySequence != base.secondarySequence) {
        return ERROR_BADDB;
    }
    // Bins cut short would be written back without their missing part.
    const std::uint32_t binsSize = readDword(bytes + hivelog::binsSizeAt);
    if (binsSize % 4096 != 0 || static_cast<std::uint64_t>(binsSize) + baseBlockSize > size) {
        return ERROR_BADDB;
    }

    // A clean hive is read a page at a time as the engine asks for its pages,
    // so that only those take memory; a replayed one is in memory already.
    std::unique_ptr<regf::Storage> storage;
    if (file->replayed_) {
        storage = std::make_unique<regf::VectorStorage>(std::move(replayed));
    } else {
        storage = regf::PagedStorage::reserve(static_cast<std::size_t>(st.st_size), writable,
                                              [fd](std::uint64_t offset, unsigned char* to, std::size_t length) {
                                                  return readAt(fd, to, length, offset);
                                              });
        if (!storage) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    const LONG opened = regf::Hive::open(std::move(storage), writable, file->hive_);
    if (opened != ERROR_SUCCESS) {
        return opened;
    }
    if (writable) {
        removeStaleTemporaries(directory, file->file_.name, entries);
    }
    out = std::move(file);
    return ERROR_SUCCESS;
}

// A clean hive with a new-format log is written in place through that log,
// as Windows would write it; anything that keeps us from doing that safely
// leaves the atomic rewrite, which never touches the logs.
void HiveFile::chooseWritePath(int directory, const std::vector<VolumeLog>& logs, std::uint32_t sequence) {
    // The entry takes nextSequence_ and the hive the number above it.
    if (nextSequence_ == 0xFFFFFFFFu) {
        return;
    }
    // Once the hive is marked dirty, a replay applies the entries numbered
    // from its old sequence number on, from whichever log holds the earliest:
    // an entry there that is not ours would be applied before ours.
    for (const VolumeLog& log : logs) {
        if (log.numbers.anyEntry && log.numbers.highestEntry >= sequence) {
            return;
        }
    }
    for (const VolumeLog& log : logs) {
        if (log.role == hivelog::LogRole::log || !log.numbers.newFormat) {
            continue;
        }
        // Written in place, the log keeps its name, owner and attributes; a
        // second name for it would see our entry too.
        UniqueFd logFile(openat(directory, log.name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (!logFile || fstat(logFile.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
            st.st_ino != log.status.st_ino || st.st_dev != log.status.st_dev) {
            continue;
        }
        UniqueFd hiveFile(openat(directory, file_.name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!hiveFile || fstat(hiveFile.get(), &st) != 0 || st.st_ino != original_.st_ino ||
            st.st_dev != original_.st_dev) {
            return;
        }
        hiveForWriting_ = std::move(hiveFile);
        logForWriting_ = std::move(logFile);
        writePath_ = WritePath::inPlace;
        return;
    }
}

}  // namespace offline
