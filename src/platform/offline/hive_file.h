// A hive file of the offline volume, opened for the hive engine: replayed
// from its transaction logs when it is dirty, checked before it is trusted,
// locked while it is loaded, and written back in place through a log entry
// as Windows writes it, or else atomically.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/unique_handle.h"
#include "platform/offline/engine/engine.h"
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

struct VolumeLog;  // a transaction log found beside the hive, read whole

// How a changed hive goes back into its file.
enum class WritePath {
    // A new file, renamed over the hive: for a hive that was dirty (its logs
    // hold entries still needed until the file is whole again), or that has
    // no new-format log we may write.
    atomic,
    // A log entry first, then the changed pages in the file itself, as
    // Windows 8.1 and later write: for a clean hive with a new-format log.
    inPlace,
};

class HiveFile {
public:
    HiveFile(const HiveFile&) = delete;
    HiveFile& operator=(const HiveFile&) = delete;

    // Opens the file at a Windows path on the volume. A writable hive is
    // locked against other runs (ERROR_SHARING_VIOLATION while another holds
    // it). A dirty hive is replayed from its transaction logs first, in
    // memory, as Windows does when it loads one; the file and its logs are
    // only read. Every other check then applies to the hive as replayed. The
    // statuses are those of resolveVolumeFile, ERROR_NOT_SUPPORTED for a
    // dirty hive whose logs cannot bring it to a consistent state (or a
    // writable hive with no sequence number left to write it with),
    // ERROR_ACCESS_DENIED for a writable hive with a second name that can
    // only be written atomically, and ERROR_BADDB for a file that is no sound
    // hive. A writable hive's write path is chosen here.
    static LONG open(const std::string& driveDirectory, const std::wstring& windowsPath, bool writable,
                     std::unique_ptr<HiveFile>& out);

    // The hive's keys and values, through the engine; it keeps every change
    // in memory until writeBack.
    regf::Hive& engine() const { return *hive_; }
    bool writable() const { return writable_; }
    bool replayed() const { return replayed_; }
    const std::string& hostPath() const { return file_.hostPath; }

    // Writes the hive as the engine holds it now back into its file, by its
    // write path, with `writtenAt` as the time the hive was written and
    // sequence numbers above every sequence number in the primary and its
    // logs. In place: through one of its logs (see writeThroughLog), only the
    // pages the engine changed. Atomically: a temporary file in the same
    // folder, the unchanged pages copied from the file and the changed ones
    // from memory, which gets the original's owner, mode and extended
    // attributes (the NTFS security descriptor and DOS attributes included),
    // is synced and renamed over the original, and the folder synced; the
    // logs are not written. A hive whose engine met a damaged cell half way
    // through a change, or with a damaged bin anywhere, is not written at
    // all (ERROR_BADDB). The hive is
    // closed once written, so the file is unloaded after this, whatever it
    // returns.
    LONG writeBack(std::uint64_t writtenAt);

private:
    HiveFile() = default;
    void chooseWritePath(int directory, const std::vector<VolumeLog>& logs, std::uint32_t sequence);
    LONG replaceAtomically();

    VolumeFile file_;
    UniqueFd lockedFile_;
    struct stat original_ {};
    std::unique_ptr<regf::Hive> hive_;
    bool writable_ = false;
    bool replayed_ = false;
    // One above every sequence number in the primary and its logs (base
    // block copies and entries, applied or not: a clean hive's logs may
    // hold entries that were never applied).
    std::uint32_t nextSequence_ = 0;
    WritePath writePath_ = WritePath::atomic;
    // For an in-place write: the hive and the log it goes through, open for
    // writing; the log entry is numbered nextSequence_, the hive one above.
    UniqueFd hiveForWriting_;
    UniqueFd logForWriting_;
};

// The mark that names this program's temporary files: "<hive name><mark><id>.tmp".
extern const char* const temporaryMark;

}  // namespace offline
