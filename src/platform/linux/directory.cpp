#include "platform/linux/directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

bool listDirectory(int directory, std::vector<std::string>& names) {
    UniqueFd own(dup(directory));
    if (!own) {
        return false;
    }
    UniqueDir listing(fdopendir(own.get()));
    if (!listing) {
        return false;
    }
    own.release();  // the listing owns it now
    // A duplicated descriptor shares its offset with the original, which may
    // have been read before.
    rewinddir(listing.get());
    names.clear();
    while (const dirent* entry = readdir(listing.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    return true;
}

TemporaryFile::~TemporaryFile() {
    if (pending_) {
        unlinkat(directory_, name_.c_str(), 0);
    }
}

bool TemporaryFile::create(int directory, const std::string& name, mode_t mode) {
    fd_.reset(openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd_) {
        return false;
    }
    directory_ = directory;
    name_ = name;
    pending_ = true;
    return true;
}

bool TemporaryFile::commit(const std::string& finalName) {
    if (renameat(directory_, name_.c_str(), directory_, finalName.c_str()) != 0) {
        return false;
    }
    pending_ = false;
    return true;
}
