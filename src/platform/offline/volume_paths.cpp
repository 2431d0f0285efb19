#include "platform/offline/volume_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "platform/emulation/path_components.h"
#include "platform/linux/directory.h"
#include "platform/linux/utf.h"
#include "platform/emulation/names.h"

namespace offline {

namespace {

constexpr int maximumLinks = 40;

// The entry of the folder that names the component: the exact name if there is
// one, otherwise the first (in byte order, so the choice is stable) that
// equals it without regard to case.
bool findEntry(int directory, const std::string& component, std::string& found) {
    struct stat st;
    if (fstatat(directory, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        found = component;
        return true;
    }
    std::vector<std::string> names;
    if (!listDirectory(directory, names)) {
        return false;
    }
    const std::wstring wanted = wideFromUtf8(component);
    bool any = false;
    for (const std::string& name : names) {
        if (emulation::sameName(wideFromUtf8(name), wanted) && (!any || name < found)) {
            found = name;
            any = true;
        }
    }
    return any;
}

}  // namespace

LONG resolveVolumeFile(const std::string& driveDirectory, const std::wstring& windowsPath, VolumeFile& out) {
    // Only absolute paths on C: ("C:\..." or "C:/..."): the volume is the
    // system drive and nothing else is mounted.
    if (windowsPath.size() < 3 || windowsPath[1] != L':' || (windowsPath[2] != L'\\' && windowsPath[2] != L'/') ||
        emulation::upperCaseOf(windowsPath[0]) != L'C') {
        return ERROR_PATH_NOT_FOUND;
    }
    std::deque<std::string> pending;
    for (const std::string& part : splitPathComponents(utf8FromWide(windowsPath.substr(3)), std::string("\\/"))) {
        if (part == "..") {
            return ERROR_ACCESS_DENIED;
        }
        if (part != ".") {
            pending.push_back(part);
        }
    }
    if (pending.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }

    std::vector<UniqueFd> folders;
    folders.emplace_back(open(driveDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folders.back()) {
        return ERROR_PATH_NOT_FOUND;
    }
    std::vector<std::string> names;
    int linksFollowed = 0;
    while (!pending.empty()) {
        const std::string component = pending.front();
        pending.pop_front();
        if (component == ".") {
            continue;
        }
        if (component == "..") {
            // Only link targets bring ".." here; above the drive is off the volume.
            if (folders.size() == 1) {
                return ERROR_ACCESS_DENIED;
            }
            folders.pop_back();
            names.pop_back();
            continue;
        }
        const bool last = pending.empty();
        std::string entry;
        if (!findEntry(folders.back().get(), component, entry)) {
            return last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        }
        struct stat st;
        if (fstatat(folders.back().get(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return statusFromErrno(errno);
        }
        if (S_ISLNK(st.st_mode)) {
            // A hive file that is a link could put the write-back anywhere.
            if (last) {
                return ERROR_ACCESS_DENIED;
            }
            std::string target(4096, '\0');
            const ssize_t length = readlinkat(folders.back().get(), entry.c_str(), target.data(), target.size());
            if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
                return ERROR_ACCESS_DENIED;
            }
            target.resize(static_cast<std::size_t>(length));
            // An absolute target means the host's root, not the volume's.
            if (target[0] == '/' || ++linksFollowed > maximumLinks) {
                return ERROR_ACCESS_DENIED;
            }
            const std::vector<std::string> parts = splitPathComponents(target, std::string("/"));
            pending.insert(pending.begin(), parts.begin(), parts.end());
            continue;
        }
        if (last) {
            out.directory = std::move(folders.back());
            out.name = entry;
            out.hostPath = driveDirectory;
            for (const std::string& name : names) {
                out.hostPath += "/" + name;
            }
            out.hostPath += "/" + entry;
            return ERROR_SUCCESS;
        }
        if (!S_ISDIR(st.st_mode)) {
            return ERROR_PATH_NOT_FOUND;
        }
        UniqueFd next(openat(folders.back().get(), entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            return errno == ENOENT ? ERROR_PATH_NOT_FOUND : statusFromErrno(errno);
        }
        folders.push_back(std::move(next));
        names.push_back(entry);
    }
    return ERROR_PATH_NOT_FOUND;
}

}  // namespace offline
