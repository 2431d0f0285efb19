// The log file on Linux: opened with O_NOFOLLOW and described by fstat on the
// open descriptor, so that neither a link nor a swap between a check and the
// open can redirect it.
#include "log/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <utility>

#include "platform/linux/unique_handle.h"

struct LogFileHandle {
    UniqueFd fd;
};

LogFileHandle* openLogFile(const std::filesystem::path& path, LogFileFacts& facts) {
    facts = LogFileFacts{};
    // O_NONBLOCK: a FIFO planted as the log must not hang the run in open();
    // it is refused as not a regular file. O_NOCTTY: a terminal must not
    // become the controlling one.
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
    // A new log is created exclusively (O_EXCL never follows a link either),
    // readable by its owner only: it holds the values, which may be secrets.
    UniqueFd fd(open(path.c_str(), flags | O_CREAT | O_EXCL, 0600));
    if (!fd && errno == EEXIST) {
        fd.reset(open(path.c_str(), flags));
        if (!fd && errno == ELOOP) {
            facts.known = true;
            facts.link = true;
            return nullptr;
        }
        if (!fd && errno == ENXIO) {
            // A FIFO without a reader.
            facts.known = true;
            return nullptr;
        }
    }
    if (!fd) {
        return nullptr;
    }
    struct stat status {};
    if (fstat(fd.get(), &status) != 0) {
        return nullptr;
    }
    facts.known = true;
    facts.link = S_ISLNK(status.st_mode);
    facts.regularFile = S_ISREG(status.st_mode);
    facts.names = static_cast<unsigned long long>(status.st_nlink);
    facts.owner = status.st_uid == geteuid() ? LogFileOwner::runningAccount
                  : status.st_uid == 0       ? LogFileOwner::system
                                             : LogFileOwner::other;
    facts.ownerText = "uid " + std::to_string(status.st_uid);
    // Writes from here on may wait, as writes to the log always did.
    const int current = fcntl(fd.get(), F_GETFL);
    if (current != -1) {
        fcntl(fd.get(), F_SETFL, current & ~O_NONBLOCK);
    }
    LogFileHandle* file = new (std::nothrow) LogFileHandle{std::move(fd)};
    if (file == nullptr) {
        facts.known = false;
    }
    return file;
}

bool writeLogFile(LogFileHandle& file, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = write(file.fd.get(), bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

void closeLogFile(LogFileHandle* file) {
    // The descriptor goes with the handle.
    delete file;
}

void noteLogFileRefused(const std::filesystem::path& path, const std::string& why) {
    // Control characters of the path would break the one line.
    std::string shown = path.string();
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    std::fprintf(stderr, "tarnwick: not writing the log: \"%s\" %s\n", shown.c_str(), why.c_str());
    std::fflush(stderr);
}
