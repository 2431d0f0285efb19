#include "platform/offline/hive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/linux/directory.h"

namespace offline {

const char* const temporaryMark = ".tarnwick-";

namespace {

constexpr std::size_t baseBlockSize = 4096;
constexpr std::size_t smallestHive = 8192;

std::uint32_t readDword(const unsigned char* bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool readBaseBlock(int fd, std::vector<unsigned char>& bytes) {
    bytes.assign(baseBlockSize, 0);
    std::size_t done = 0;
    while (done < baseBlockSize) {
        const ssize_t n = pread(fd, bytes.data() + done, baseBlockSize - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool isTemporaryOf(const std::string& entry, const std::string& hiveName) {
    const std::string prefix = hiveName + temporaryMark;
    const std::string suffix = ".tmp";
    return entry.size() > prefix.size() + suffix.size() && entry.compare(0, prefix.size(), prefix) == 0 &&
           entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Temporary files of this hive left by a run that was killed before its
// rename. Only called while the hive's lock is held, so no live run is
// writing one of them.
void removeStaleTemporaries(int directory, const std::string& hiveName) {
    std::vector<std::string> names;
    if (!listDirectory(directory, names)) {
        return;
    }
    for (const std::string& name : names) {
        if (isTemporaryOf(name, hiveName)) {
            unlinkat(directory, name.c_str(), 0);
        }
    }
}

// Reads one extended attribute; false when the file has none by that name.
bool readAttribute(int fd, const char* name, std::vector<char>& value, int& error) {
    error = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = fgetxattr(fd, name, nullptr, 0);
        if (size < 0) {
            error = errno;
            return false;
        }
        value.resize(static_cast<std::size_t>(size));
        const ssize_t got = fgetxattr(fd, name, value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) {
            error = errno;
            return false;
        }
    }
    error = ERANGE;
    return false;
}

bool attributeAbsent(int error) { return error == ENODATA || error == ENOTSUP || error == EOPNOTSUPP; }

// Gives the new file every extended attribute of the original. ntfs-3g keeps
// the security descriptor and the DOS attributes in attributes that
// listxattr does not list, so those are asked for by name.
LONG copyAttributes(int from, int to) {
    std::vector<std::string> names = {"system.ntfs_acl", "system.ntfs_attrib"};
    const ssize_t listSize = flistxattr(from, nullptr, 0);
    if (listSize > 0) {
        std::vector<char> list(static_cast<std::size_t>(listSize));
        const ssize_t got = flistxattr(from, list.data(), list.size());
        for (ssize_t i = 0; got > 0 && i < got;) {
            const std::string name(list.data() + i);
            i += static_cast<ssize_t>(name.size()) + 1;
            if (!name.empty() && name != names[0] && name != names[1]) {
                names.push_back(name);
            }
        }
    }
    for (const std::string& name : names) {
        std::vector<char> value;
        int error = 0;
        if (!readAttribute(from, name.c_str(), value, error)) {
            if (attributeAbsent(error)) {
                continue;
            }
            return statusFromErrno(error);
        }
        if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
            return statusFromErrno(errno);
        }
    }
    return ERROR_SUCCESS;
}

bool syncDirectory(int directory) {
    // Some FUSE file systems cannot sync a folder; the rename is then as
    // durable as that file system makes it.
    return fsync(directory) == 0 || errno == EINVAL || errno == ENOSYS || errno == ENOTSUP;
}

std::string temporaryName(const std::string& hiveName) {
    static unsigned counter = 0;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return hiveName + temporaryMark + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" +
           std::to_string(now.tv_nsec) + ".tmp";
}

}  // namespace

std::uint32_t baseBlockChecksum(const unsigned char* bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 127; ++i) {
        sum ^= readDword(bytes, i * 4);
    }
    if (sum == 0) {
        return 1;
    }
    if (sum == 0xFFFFFFFFu) {
        return 0xFFFFFFFEu;
    }
    return sum;
}

bool parseBaseBlock(const unsigned char* bytes, std::size_t size, BaseBlock& out) {
    if (size < baseBlockSize || std::memcmp(bytes, "regf", 4) != 0) {
        return false;
    }
    const std::uint32_t major = readDword(bytes, 20);
    out.minorVersion = readDword(bytes, 24);
    if (major != 1 || out.minorVersion < 2 || out.minorVersion > 6 || readDword(bytes, 28) != 0) {
        return false;
    }
    out.primarySequence = readDword(bytes, 4);
    out.secondarySequence = readDword(bytes, 8);
    out.checksumMatches = baseBlockChecksum(bytes) == readDword(bytes, 508);
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
        // A second name for the file would keep the old contents after the
        // rename, and may sit anywhere on the host's file system.
        if (st.st_nlink > 1) {
            return ERROR_ACCESS_DENIED;
        }
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

    std::vector<unsigned char> header;
    BaseBlock base;
    if (static_cast<std::size_t>(st.st_size) < smallestHive || !readBaseBlock(fd, header) ||
        !parseBaseBlock(header.data(), header.size(), base) || !base.checksumMatches) {
        return ERROR_BADDB;
    }
    // Bins cut short would be written back without their missing part.
    const std::uint32_t binsSize = readDword(header.data(), 40);
    if (binsSize % 4096 != 0 || static_cast<std::uint64_t>(binsSize) + baseBlockSize > static_cast<std::uint64_t>(st.st_size)) {
        return ERROR_BADDB;
    }
    // Differing sequence numbers mean Windows has logged changes (.LOG1,
    // .LOG2) that the file does not hold yet. hivex cannot replay them and
    // its commit would mark the hive clean, so Windows would drop them. This
    // is the one place where every hive of the volume passes before hivex
    // opens it, so a replay of those logs belongs here.
    if (writable && base.primarySequence != base.secondarySequence) {
        return ERROR_NOT_SUPPORTED;
    }
    file->minorVersion_ = base.minorVersion;

    errno = 0;
    file->hive_.reset(hivex_open(procPath(fd).c_str(), writable ? HIVEX_OPEN_WRITE : 0));
    if (!file->hive_) {
        const int error = errno;
        if (error == ENOMEM) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        return error == EACCES || error == EPERM ? ERROR_ACCESS_DENIED : ERROR_BADDB;
    }
    if (writable) {
        removeStaleTemporaries(directory, file->file_.name);
    }
    out = std::move(file);
    return ERROR_SUCCESS;
}

LONG HiveFile::writeBack() {
    if (!writable_ || !hive_) {
        return ERROR_ACCESS_DENIED;
    }
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
    // The hive is unloaded after its write-back whatever the outcome, so its
    // memory is given back now: the check below reads the new file whole, and
    // holding both would double the peak for the largest hive.
    hive_.reset();
    // What is renamed over the original must itself pass the checks a load makes.
    std::vector<unsigned char> header;
    BaseBlock written;
    if (!readBaseBlock(out.fd(), header) || !parseBaseBlock(header.data(), header.size(), written) ||
        !written.checksumMatches || written.primarySequence != written.secondarySequence) {
        return ERROR_WRITE_FAULT;
    }
    if (!UniqueHive(hivex_open(procPath(out.fd()).c_str(), 0))) {
        return ERROR_WRITE_FAULT;
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
