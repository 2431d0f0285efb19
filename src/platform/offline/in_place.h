// A changed hive written into its own file, as Windows 8.1 and later write
// one: a log entry first, then only the pages that changed, in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/winapi.h"

namespace offline {

// Writes the new hive `image` (base block and bins, `size` bytes; its base
// block clean and numbered entrySequence + 1) over the clean hive in the file
// open at `hive`, which it differs from only in the pages of the bins listed
// in `dirtyPages` (page indexes, ascending; pages beyond the file's bins
// among them), through the new-format log open at `log`:
//   1. the log: a base block copy and one entry numbered entrySequence with
//      those pages; flushed;
//   2. the hive's own base block, its primary sequence number raised to the
//      new one and the secondary left as it was: the hive is dirty from here,
//      and its log brings it to the new hive; flushed;
//   3. the changed pages, in place; flushed;
//   4. the new base block, both numbers equal: clean again; flushed.
// A power loss at any moment leaves the old clean hive (whose logs a load
// ignores) or a dirty one that its log replays to the new hive. Every other
// log must hold no entry numbered at or above the old hive's sequence
// number, or a replay would apply it before ours. A failure before step 2
// leaves the hive as it was.
LONG writeThroughLog(int hive, int log, const unsigned char* image, std::size_t size,
                     const std::vector<std::uint32_t>& dirtyPages, std::uint32_t entrySequence);

}  // namespace offline
