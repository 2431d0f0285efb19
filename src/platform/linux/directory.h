// Files and folders of the Linux builds: listing a folder, and the temporary
// file of an atomic replacement.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/linux/unique_handle.h"

// The names in an open folder, "." and ".." left out. The folder is read
// through a descriptor of its own, so the caller's descriptor is left as it
// was. False, with errno set, when the folder cannot be read.
bool listDirectory(int directory, std::vector<std::string>& names);

// A new file in an open folder, removed again when this goes unless it was
// committed by renaming it over its final name.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    // Creates the file, only if no file or link of that name is there. The
    // folder's descriptor must outlive this. False, with errno set, on failure.
    bool create(int directory, const std::string& name, mode_t mode);
    int fd() const { return fd_.get(); }
    // Renames the file over the final name in the same folder; it is then no
    // longer removed. False, with errno set, on failure.
    bool commit(const std::string& finalName);

private:
    int directory_ = -1;
    std::string name_;
    UniqueFd fd_;
    bool pending_ = false;
};
