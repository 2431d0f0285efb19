// A hive file of the offline volume, opened through hivex: checked before it
// is trusted, locked while it is loaded, and written back atomically.
#pragma once

#include <hivex.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/offline/unique_hive.h"
#include "platform/offline/volume_paths.h"
#include "platform/winapi.h"

namespace offline {

// The base block fields that decide whether a file may be trusted.
struct BaseBlock {
    std::uint32_t primarySequence = 0;
    std::uint32_t secondarySequence = 0;
    std::uint32_t minorVersion = 0;
    bool checksumMatches = false;
};

// Parses the first 4096 bytes of a regf file. False when they are not a regf
// base block of a version Windows writes (major 1, minor 2 to 6, type 0).
bool parseBaseBlock(const unsigned char* bytes, std::size_t size, BaseBlock& out);

// The checksum Windows stores at offset 508: the XOR of the first 127
// dwords, with 0 and 0xFFFFFFFF mapped as Windows maps them.
std::uint32_t baseBlockChecksum(const unsigned char* bytes);

class HiveFile {
public:
    HiveFile(const HiveFile&) = delete;
    HiveFile& operator=(const HiveFile&) = delete;

    // Opens the file at a Windows path on the volume. A writable hive is
    // locked against other runs (ERROR_SHARING_VIOLATION while another holds
    // it) and must be clean; the statuses are those of resolveVolumeFile,
    // ERROR_BADDB for a file that is no sound hive, and ERROR_NOT_SUPPORTED
    // for one whose logs hold changes not yet in it.
    static LONG open(const std::string& driveDirectory, const std::wstring& windowsPath, bool writable,
                     std::unique_ptr<HiveFile>& out);

    hive_h* handle() const { return hive_.get(); }
    bool writable() const { return writable_; }
    std::uint32_t minorVersion() const { return minorVersion_; }
    void markChanged() { changed_ = true; }
    bool changed() const { return changed_; }
    const std::string& hostPath() const { return file_.hostPath; }

    // Replaces the file with the hive as it is now: a temporary file in the
    // same folder, synced, given the original's owner, mode and extended
    // attributes (the NTFS security descriptor and DOS attributes included),
    // renamed over the original, and the folder synced. The hive is closed
    // once written, so the file is unloaded after this, whatever it returns.
    LONG writeBack();

private:
    HiveFile() = default;

    VolumeFile file_;
    UniqueFd lockedFile_;
    struct stat original_ {};
    UniqueHive hive_;
    bool writable_ = false;
    bool changed_ = false;
    std::uint32_t minorVersion_ = 0;
};

// The mark that names this program's temporary files: "<hive name><mark><id>.tmp".
extern const char* const temporaryMark;

}  // namespace offline
