// Writes transaction logs as Windows does, for tests and tools that need dirty
// hives: new-format logs ("HvLE" entries with their Marvin32 hashes) and
// old-format logs (base block copy, "DIRT" dirty vector, 512-byte pages),
// made from a hive's bytes and the bytes it should have after the change.
// Bytes in, bytes out; nothing here touches a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/offline/replay/hive_log.h"

namespace logwriter {

using Bytes = std::vector<unsigned char>;

// A small hive whose base block is clean (sequence 1, minor version 5) and
// whose `binCount` bins of 4096 bytes each hold one free cell, the first bin
// an allocated root cell before it. Sound as far as the replay checks go; not
// a registry that a reader can walk.
Bytes minimalHive(std::uint32_t binCount);

// Sets the base block's sequence numbers and recomputes its checksum. A hive
// whose primary number is one above its secondary is what Windows leaves when
// a write of the primary did not finish.
void setSequences(Bytes& hive, std::uint32_t primary, std::uint32_t secondary);

// A run of bytes of the hive bins, at an offset from the start of the bins.
struct Page {
    std::uint32_t offset = 0;
    Bytes bytes;
};

struct Entry {
    std::uint32_t sequence = 0;
    std::uint32_t binsSize = 0;  // the hive bins size once the entry is applied
    std::uint32_t flags = 0;
    std::vector<Page> pages;
};

// The 4096-byte blocks of `after`'s hive bins that differ from `before` (or lie
// beyond its end), adjacent blocks joined into one page, as Windows logs them.
std::vector<Page> changedPages(const Bytes& before, const Bytes& after);

// One log entry that turns `before`'s bins into `after`'s.
Entry entryFor(const Bytes& before, const Bytes& after, std::uint32_t sequence);

// A new-format log: the first 512 bytes of `hive`'s base block as its copy
// (file type 6, both sequence numbers `copySequence`, checksum), then the
// entries, each padded to a multiple of 512 bytes and hashed.
Bytes newFormatLog(const Bytes& hive, std::uint32_t copySequence, const std::vector<Entry>& entries);

// Where the entries of a new-format log start, following their sizes from 512
// on while they carry the "HvLE" signature.
std::vector<std::size_t> entryOffsets(const Bytes& log);

// Recomputes both hashes of the entry at `offset`, after a test changed it.
void sealEntry(Bytes& log, std::size_t offset);

// An old-format log that turns `before` into `after`: `before`'s base block
// as the copy (file type 1, both sequence numbers `sequence`, the hive bins
// size of `after`, `before`'s last-written time), a dirty vector that marks
// every 512-byte page of each 4096-byte block that changed, and those pages.
Bytes oldFormatLog(const Bytes& before, const Bytes& after, std::uint32_t sequence);

// A primary with its logs, as Windows leaves a hive whose change reached the
// log but not the primary: the primary is `before` with its primary sequence
// number one above its secondary S.
struct DirtyHive {
    Bytes primary;
    Bytes log1;
    Bytes log2;  // empty, as Windows leaves the log it has not switched to
};

// LOG1 holds one new-format entry with sequence S.
DirtyHive dirtyWithNewLog(const Bytes& before, const Bytes& after);

// LOG1 is an old-format log with sequence S + 1, as Windows Vista to 8 write it.
DirtyHive dirtyWithOldLog(const Bytes& before, const Bytes& after);

// What a write in place promises, read from the bytes: `after` is clean,
// and the logs as the write left them turn `before`, marked dirty as the
// write's first step to the hive marks it (`after`'s primary sequence number
// and time), into hive bins byte-identical with `after`'s. Empty when it
// holds; otherwise what does not.
struct Log {
    hivelog::LogRole role;
    Bytes bytes;
};
std::string inPlaceProblem(const Bytes& before, const Bytes& after, const std::vector<Log>& logs);

}  // namespace logwriter
