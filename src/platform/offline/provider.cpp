// What the offline volume provides to the emulated registry: the user hives
// RegLoadKeyW loads from the volume, and HKEY_LOCAL_MACHINE\SOFTWARE from the
// volume's own SOFTWARE hive, read-only. No call is recorded or made to fail.
#include <malloc.h>
#include <sys/stat.h>
#include <time.h>

#include <memory>
#include <string>

#include "platform/emulation/names.h"
#include "platform/emulation/provider.h"
#include "platform/linux/utf.h"
#include "platform/offline/file_hive.h"
#include "platform/offline/hive_file.h"
#include "platform/offline/offline_platform.h"

namespace {

const wchar_t* const softwareHiveName = L"SOFTWARE";
const wchar_t* const softwareHivePath = L"C:\\Windows\\System32\\config\\SOFTWARE";

// The drive directory; false, after the terminal note, when the variable
// names none.
bool driveDirectory(std::string& drive) {
    std::string problem;
    if (offline::systemDriveDirectory(drive, problem)) {
        return true;
    }
    offline::noteVolumeProblem(problem);
    return false;
}

// A replayed hive is held whole in one block of the replay's, and hive sizes
// repeat from profile to profile. glibc would give each block back to the
// system when it is freed and take fresh pages for the next, and a fresh page
// costs a fault: on a volume of 40 hives of 1 to 4 MiB that was 85 % of the
// faults and half of the CPU time. So freed memory is kept for the next hive.
// Blocks above 8 MiB are still mapped on their own: a block that grows by
// realloc moves in the heap by copying (for a moment twice in memory) but a
// mapped one without a copy, and a hive that large is rare enough that its
// faults do not count.
void keepFreedMemoryForTheNextHive() {
    static const bool done = [] {
        mallopt(M_MMAP_THRESHOLD, 8 << 20);
        mallopt(M_TRIM_THRESHOLD, 256 << 20);
        return true;
    }();
    (void)done;
}

// Every hive of the volume is opened here. A user hive is opened writable and
// locked; SOFTWARE is only read.
LONG openVolumeHive(const std::string& drive, const std::wstring& path, bool writable,
                    std::shared_ptr<emulation::Hive>& out) {
    keepFreedMemoryForTheNextHive();
    std::unique_ptr<offline::HiveFile> file;
    const LONG status = offline::HiveFile::open(drive, path, writable, file);
    if (status == ERROR_SUCCESS) {
        out = std::make_shared<offline::FileHive>(std::move(file));
    }
    return status;
}

}  // namespace

namespace emulation {

bool callsObserved() { return false; }

std::optional<LONG> enterCall(const char*, const std::wstring&) { return std::nullopt; }

FILETIME systemTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t value = (static_cast<std::uint64_t>(now.tv_sec) + 11644473600ULL) * 10000000ULL +
                                static_cast<std::uint64_t>(now.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

// Hives load under HKEY_USERS only: HKEY_LOCAL_MACHINE holds the volume's own.
LONG openHiveFile(HKEY root, const std::wstring& path, std::shared_ptr<Hive>& out) {
    if (root != HKEY_USERS) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string drive;
    if (!driveDirectory(drive)) {
        return ERROR_PATH_NOT_FOUND;
    }
    return openVolumeHive(drive, path, true, out);
}

std::vector<std::wstring> machineHiveNames() { return {softwareHiveName}; }

// The first registry call of a run opens SOFTWARE, so this is where a
// volume that is missing or is no Windows volume is explained on stderr.
LONG openMachineHive(const std::wstring& name, std::shared_ptr<Hive>& out) {
    if (!sameName(name, softwareHiveName)) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::string drive;
    if (!driveDirectory(drive)) {
        return ERROR_FILE_NOT_FOUND;
    }
    const LONG status = openVolumeHive(drive, softwareHivePath, false, out);
    if (status != ERROR_SUCCESS) {
        struct stat st;
        if (stat(drive.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            offline::noteVolumeProblem("=" + drive + " is not a directory");
        } else if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) {
            offline::noteVolumeProblem("=" + drive +
                                       " names no Windows system drive: it has no Windows/System32/config/SOFTWARE");
        } else if (status == ERROR_NOT_SUPPORTED) {
            offline::noteVolumeProblem("=" + drive + ": Windows/System32/config/SOFTWARE has changes in its "
                                       "transaction logs that cannot be replayed (error 50)");
        } else {
            offline::noteVolumeProblem("=" + drive + ": Windows/System32/config/SOFTWARE cannot be read as a hive "
                                       "(error " + std::to_string(status) + ")");
        }
    }
    return status;
}

}  // namespace emulation
