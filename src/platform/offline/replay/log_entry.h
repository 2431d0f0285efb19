// Writing new-format transaction logs, as Windows 8.1 and later write them
// (the regf format notes, "New format"): a base block copy in the first
// sector, then "HvLE" entries, each a set of pages of the hive bins guarded
// by two Marvin32 hashes. Bytes in, bytes out; the replay in this folder
// reads what is written here.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "hive_log.h"

namespace hivelog {

constexpr std::size_t hivePageSize = 4096;

// A run of whole pages of the hive bins: offset and size from the start of
// the bins, both multiples of hivePageSize.
struct PageRun {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

// The pages of the new hive bins that a log must carry to turn the old bins
// into them: those whose bytes differ, and every page beyond the old hive
// bins (what growth adds). `before` and `after` hold the bins from `offset`
// (a multiple of hivePageSize) on, `before` as far as the old file reaches
// (it may be shorter), `after` whole pages; callers may go a part at a time.
// Runs are added to `runs`, joined with the last one when adjacent.
// `beforeBins` is the old hive bins size.
void addChangedPageRuns(ByteView before, ByteView after, std::uint32_t offset, std::uint32_t beforeBins,
                        std::vector<PageRun>& runs);

// The first sector of a new-format log: the first 512 bytes of `baseBlock`
// marked as a log's copy (file type 6), both sequence numbers `sequence`,
// the checksum recomputed.
std::vector<unsigned char> newFormatLogCopy(const unsigned char* baseBlock, std::uint32_t sequence);

// One page of an entry: `size` bytes at `bytes`, for the bins at `offset`.
struct EntryPage {
    std::uint32_t offset = 0;
    const unsigned char* bytes = nullptr;
    std::uint32_t size = 0;
};

// Appends one log entry numbered `sequence` that leaves the hive bins
// `binsSize` bytes long with the pages written, padded to a whole number of
// 512-byte sectors and sealed with both hashes. `flags` is the base block's
// flags field; only its KTM bit is carried.
void appendLogEntry(std::vector<unsigned char>& log, std::uint32_t sequence, std::uint32_t binsSize,
                    std::uint32_t flags, const std::vector<EntryPage>& pages);

// Recomputes both hashes of the entry at `offset` of `log`.
void sealLogEntry(unsigned char* log, std::size_t logSize, std::size_t offset);

// The whole log a write of `after` over `before` puts in place: the copy of
// `after`'s base block, then one entry numbered `sequence` with the runs of
// `after`'s bins, which `bins` holds (a run at bins + its offset).
std::vector<unsigned char> newFormatLogOf(const unsigned char* afterBaseBlock, std::uint32_t sequence,
                                          const std::vector<PageRun>& runs, const unsigned char* bins);

// The highest sequence number of a sealed entry in the logs, applied or not;
// false when none holds one.
bool highestEntrySequence(const std::vector<LogFile>& logs, std::uint32_t& highest);

// True when the log's first sector is a sound new-format copy (file type 6):
// the hive is kept by Windows 8.1 or later.
bool isNewFormatLog(ByteView log);

// Reads `length` bytes of a log file at `offset` into `to`; false when it
// cannot read them all.
using LogReader = std::function<bool(std::uint64_t offset, unsigned char* to, std::size_t length)>;

// What a clean hive numbered `floor` needs from one of its logs before it is
// written back, read a part at a time instead of whole.
struct LogNumbers {
    bool newFormat = false;       // as isNewFormatLog
    std::uint32_t highest = 0;    // as highestLogSequence, for this log
    bool anyEntry = false;        // as highestEntrySequence
    std::uint32_t highestEntry = 0;
};

// The log, `size` bytes, read through `read`: its first sector, each entry's
// header, and whole only the entries numbered `floor` or above, whose
// hashes are checked. An entry numbered below cannot raise a number above
// the hive's own, so its hashes go unchecked and the entries after it are
// taken as well, where highestLogSequence stops at a torn one: the numbers
// can only be higher than those, which keeps a write-back further above
// them. False when the file cannot be read.
bool readLogNumbers(const LogReader& read, std::uint64_t size, std::uint32_t floor, LogNumbers& out);

}  // namespace hivelog
