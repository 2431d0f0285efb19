#include "platform/offline/file_io.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/offline/volume_paths.h"

namespace offline {

namespace {

// Moves all of size bytes at offset with pread or pwrite, which may move
// fewer at a time; false at an error or the end of the file.
template <typename Buffer, typename Transfer>
bool transferAt(int fd, Buffer bytes, std::size_t size, std::uint64_t offset, Transfer transfer) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = transfer(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
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

}  // namespace

bool readBaseBlock(int fd, std::vector<unsigned char>& bytes) {
    bytes.assign(hivelog::baseBlockSize, 0);
    return readAt(fd, bytes.data(), bytes.size(), 0);
}

bool readAt(int fd, unsigned char* bytes, std::size_t size, std::uint64_t offset) {
    return transferAt(fd, bytes, size, offset, pread);
}

bool writeAt(int fd, const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
    return transferAt(fd, bytes, size, offset, pwrite);
}

bool readWhole(int fd, std::vector<unsigned char>& bytes) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(st.st_size));
    errno = 0;
    if (!bytes.empty() && !readAt(fd, bytes.data(), bytes.size(), 0)) {
        if (errno == 0) {
            errno = EIO;
        }
        return false;
    }
    return true;
}

MappedFile::MappedFile(int fd, std::size_t size) : size_(size) {
    void* at = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
    address_ = at == MAP_FAILED ? nullptr : at;
}

MappedFile::~MappedFile() {
    if (address_ != nullptr) {
        munmap(address_, size_);
    }
}

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


}  // namespace offline
