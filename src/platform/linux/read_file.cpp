// A registry file read whole on the host. The path is the argument text's,
// UTF-8 again, as the shell gave it.
#include "ops/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/errors.h"
#include "platform/linux/unique_handle.h"
#include "platform/linux/utf.h"

DWORD readWholeFile(const std::wstring& path, std::vector<unsigned char>& bytes, const char*& failedCall) {
    bytes.clear();
    failedCall = "open";
    // O_NONBLOCK: a FIFO in the file's place must not hang the run; it is no
    // regular file and is refused below.
    const UniqueFd fd(open(utf8FromWide(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) {
        return statusFromErrno(errno, ERROR_READ_FAULT);
    }
    // Windows opens no folder as a file, and a device or pipe is no file of
    // settings.
    if (!S_ISREG(st.st_mode)) {
        return ERROR_ACCESS_DENIED;
    }
    failedCall = "read";
    unsigned char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = read(fd.get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return statusFromErrno(errno, ERROR_READ_FAULT);
        }
        if (got == 0) {
            return ERROR_SUCCESS;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
    }
}
