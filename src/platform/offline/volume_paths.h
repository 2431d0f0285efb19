// Windows paths on drive C: mapped to files under the directory where the
// volume is mounted, without ever leaving that directory.
#pragma once

#include <string>

#include "platform/linux/errors.h"
#include "platform/linux/unique_handle.h"
#include "platform/winapi.h"

namespace offline {

struct VolumeFile {
    UniqueFd directory;    // the folder that holds the file, opened
    std::string name;      // the file's own name in that folder, as stored
    std::string hostPath;  // for messages only
};

// Resolves "C:\Users\Alice\ntuser.dat" under the drive directory. Each
// component matches an entry without regard to case, as on NTFS (an exact
// match wins). Relative links are followed while they stay on the volume.
// Statuses: 3 for another drive, a relative path or a missing folder; 2 for
// a missing file; 5 for a ".." component, a link that leads off the volume,
// or a final component that is itself a link.
LONG resolveVolumeFile(const std::string& driveDirectory, const std::wstring& windowsPath, VolumeFile& out);

}  // namespace offline
