// Replay of new-format logs (Windows 8.1 and later): "HvLE" log entries, each
// a set of dirty pages of the hive bins, guarded by two Marvin32 hashes and
// numbered by the sequence number the hive has once the entry is applied.
#include <algorithm>

#include "log_entry.h"
#include "marvin32.h"
#include "replay_internal.h"

namespace hivelog::detail {

namespace {

struct Entry {
    std::size_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
    std::uint32_t sequence = 0;
    std::uint32_t binsSize = 0;
    std::uint32_t pageCount = 0;
};

// An entry whose signature, sizes, hashes or page references are wrong ends
// the log: the notes stop recovery at a bogus entry, and nothing after it can
// be found without trusting its size.
bool readEntry(ByteView log, std::size_t offset, Entry& entry) {
    if (log.size - offset < entryHeaderSize) {
        return false;
    }
    const unsigned char* at = log.data + offset;
    if (!hasSignature(at, "HvLE")) {
        return false;
    }
    entry.offset = offset;
    entry.size = readDword(at + 4);
    entry.flags = readDword(at + 8);
    entry.sequence = readDword(at + 12);
    entry.binsSize = readDword(at + 16);
    entry.pageCount = readDword(at + 20);
    if (entry.size < entryHeaderSize || entry.size % logSectorSize != 0 || entry.size > log.size - offset) {
        return false;
    }
    if (entry.binsSize == 0 || entry.binsSize % binAlignment != 0) {
        return false;
    }
    const std::uint64_t referencesEnd = entryHeaderSize + std::uint64_t{entry.pageCount} * pageReferenceSize;
    if (referencesEnd > entry.size) {
        return false;
    }
    if (marvin32(at + entryHeaderSize, entry.size - entryHeaderSize) != readQword(at + 24) ||
        marvin32(at, 32) != readQword(at + 32)) {
        return false;
    }
    std::uint64_t pagesEnd = referencesEnd;
    for (std::uint32_t i = 0; i < entry.pageCount; ++i) {
        const unsigned char* reference = at + entryHeaderSize + std::size_t{i} * pageReferenceSize;
        const std::uint64_t pageOffset = readDword(reference);
        const std::uint64_t pageSize = readDword(reference + 4);
        if (pageOffset + pageSize > entry.binsSize) {
            return false;
        }
        pagesEnd += pageSize;
        if (pagesEnd > entry.size) {
            return false;
        }
    }
    return true;
}

std::vector<Entry> readEntries(ByteView log) {
    std::vector<Entry> entries;
    Entry entry;
    for (std::size_t offset = logSectorSize; offset < log.size && readEntry(log, offset, entry);
         offset += entry.size) {
        entries.push_back(entry);
    }
    return entries;
}

// A log's entries from the first one that the primary does not hold yet.
struct Chain {
    const LogSource* source = nullptr;
    std::vector<Entry> entries;
    std::size_t first = 0;
    bool used = false;
    bool pending() const { return !used && first < entries.size(); }
};

Chain chainOf(const LogSource& source, std::uint32_t secondarySequence) {
    Chain chain;
    chain.source = &source;
    chain.entries = readEntries(source.file->bytes);
    // Entries below the primary's secondary sequence number were written
    // before the primary's last complete write, so the primary holds them.
    // They are skipped wherever they lead a log; after the first newer entry,
    // any entry that does not continue the sequence ends the log. The notes
    // also expect a log's first entry to carry its copy's sequence number; we
    // do not ask for that, since the hashes vouch for each entry and the
    // sequence numbers for their order, and a log whose older entries lead it
    // would otherwise lose the newer ones behind them. Like Windows, we accept
    // a first entry above the secondary number; the bin checks then judge.
    while (chain.first < chain.entries.size() && chain.entries[chain.first].sequence < secondarySequence) {
        ++chain.first;
    }
    return chain;
}

// Writes the entry's pages into the hive, grown to the entry's hive bins size
// first, and takes its hive bins size and KTM flag into the base block.
bool applyEntry(ByteView log, const Entry& entry, std::uint64_t sizeLimit, std::vector<unsigned char>& hive) {
    const std::uint64_t needed = baseBlockSize + std::uint64_t{entry.binsSize};
    if (needed > sizeLimit) {
        return false;
    }
    if (hive.size() < needed) {
        hive.resize(static_cast<std::size_t>(needed), 0);
    }
    const unsigned char* at = log.data + entry.offset;
    const unsigned char* page = at + entryHeaderSize + std::size_t{entry.pageCount} * pageReferenceSize;
    for (std::uint32_t i = 0; i < entry.pageCount; ++i) {
        const unsigned char* reference = at + entryHeaderSize + std::size_t{i} * pageReferenceSize;
        const std::uint32_t pageOffset = readDword(reference);
        const std::uint32_t pageSize = readDword(reference + 4);
        std::memcpy(hive.data() + baseBlockSize + pageOffset, page, pageSize);
        page += pageSize;
    }
    writeDword(hive.data() + binsSizeAt, entry.binsSize);
    const std::uint32_t flags = readDword(hive.data() + flagsAt);
    writeDword(hive.data() + flagsAt, (flags & ~lockedFlag) | (entry.flags & lockedFlag));
    return true;
}

// Applies the chain's entries while each continues the sequence; false when an
// entry cannot be applied at all (it would grow the hive beyond the limit).
bool applyChain(Chain& chain, std::uint64_t& expected, std::uint64_t sizeLimit, Recovery& recovery) {
    chain.used = true;
    for (std::size_t i = chain.first; i < chain.entries.size() && chain.entries[i].sequence == expected; ++i) {
        if (!applyEntry(chain.source->file->bytes, chain.entries[i], sizeLimit, recovery.hive)) {
            return false;
        }
        ++recovery.applied;
        ++expected;
    }
    return true;
}

Recovery refuse(Refusal refusal, const std::string& reason) {
    Recovery recovery;
    recovery.refusal = refusal;
    recovery.reason = reason;
    return recovery;
}

}  // namespace

std::vector<std::uint32_t> newFormatEntrySequences(ByteView log) {
    std::vector<std::uint32_t> sequences;
    for (const Entry& entry : readEntries(log)) {
        sequences.push_back(entry.sequence);
    }
    return sequences;
}

}  // namespace hivelog::detail

namespace hivelog {

bool readLogNumbers(const LogReader& read, std::uint64_t size, std::uint32_t floor, LogNumbers& out) {
    using namespace detail;
    out = LogNumbers();
    if (size < logSectorSize) {
        return true;
    }
    unsigned char sector[logSectorSize];
    if (!read(0, sector, logSectorSize)) {
        return false;
    }
    if (hasSignature(sector, "regf") && baseBlockChecksum(sector) == readDword(sector + checksumAt)) {
        out.highest = std::max(readDword(sector + primarySequenceAt), readDword(sector + secondarySequenceAt));
    }
    const LogCopy copy = readLogCopy(ByteView(sector, logSectorSize));
    out.newFormat = copy.sound && copy.fileType == newLogFileType;
    std::vector<unsigned char> whole;
    for (std::uint64_t offset = logSectorSize; size - offset >= entryHeaderSize;) {
        unsigned char header[entryHeaderSize];
        if (!read(offset, header, entryHeaderSize)) {
            return false;
        }
        const std::uint32_t entrySize = readDword(header + 4);
        const std::uint32_t sequence = readDword(header + 12);
        if (!hasSignature(header, "HvLE") || entrySize < entryHeaderSize || entrySize % logSectorSize != 0 ||
            entrySize > size - offset) {
            break;
        }
        if (sequence >= floor) {
            whole.resize(entrySize);
            Entry entry;
            if (!read(offset, whole.data(), entrySize)) {
                return false;
            }
            if (!readEntry(ByteView(whole), 0, entry)) {
                break;
            }
        }
        out.highest = std::max(out.highest, sequence);
        out.highestEntry = out.anyEntry ? std::max(out.highestEntry, sequence) : sequence;
        out.anyEntry = true;
        offset += entrySize;
    }
    return true;
}

}  // namespace hivelog

namespace hivelog::detail {

Recovery replayNewFormat(ByteView primary, bool primarySound, const std::vector<LogSource>& logs,
                         std::uint64_t sizeLimit) {
    Recovery recovery;
    std::vector<Chain> chains;
    const unsigned char* latestCopy = nullptr;  // the base block a torn primary takes
    if (primarySound) {
        // Both (all) logs take part: the one whose pending entries start
        // earliest goes first, and replay goes on in another log whose pending
        // entries start right after the last one applied.
        const std::uint32_t secondary = readDword(primary.data + secondarySequenceAt);
        for (const LogSource& source : logs) {
            chains.push_back(chainOf(source, secondary));
        }
    } else {
        // A torn base block is recovered from the copy in the log that holds
        // the latest entries, and only that log is replayed: the primary's own
        // sequence numbers cannot be trusted to say where the others stand.
        // Ties go to the earlier of LOG1, LOG2, LOG.
        const LogSource* latest = nullptr;
        std::uint32_t latestSequence = 0;
        for (const LogSource& source : logs) {
            for (const std::uint32_t sequence : newFormatEntrySequences(source.file->bytes)) {
                if (latest == nullptr || sequence > latestSequence) {
                    latest = &source;
                    latestSequence = sequence;
                }
            }
        }
        if (latest == nullptr) {
            return refuse(Refusal::noUsableLog, "the base block is torn and no log holds an entry");
        }
        latestCopy = latest->file->bytes.data;
        chains.push_back(chainOf(*latest, latest->copy.sequence));
    }

    // The hive grows to the largest hive bins size of an entry it may apply:
    // room for that is made once, so that the copy of the primary is the
    // only copy of the hive.
    std::uint64_t largest = primary.size;
    for (const Chain& chain : chains) {
        for (std::size_t i = chain.first; i < chain.entries.size(); ++i) {
            largest = std::max<std::uint64_t>(largest, baseBlockSize + std::uint64_t{chain.entries[i].binsSize});
        }
    }
    recovery.hive.reserve(static_cast<std::size_t>(std::min(largest, sizeLimit)));
    recovery.hive.assign(primary.data, primary.data + primary.size);
    if (!primarySound) {
        std::memcpy(recovery.hive.data(), latestCopy, logSectorSize);
        writeDword(recovery.hive.data() + fileTypeAt, primaryFileType);
    }

    auto firstPending = [](const Chain& a, const Chain& b) {
        return a.entries[a.first].sequence < b.entries[b.first].sequence;
    };
    Chain* next = nullptr;
    for (Chain& chain : chains) {
        if (chain.pending() && (next == nullptr || firstPending(chain, *next))) {
            next = &chain;
        }
    }
    if (next == nullptr) {
        return refuse(Refusal::noUsableLog, "no log entry follows the hive's sequence number");
    }
    std::uint64_t expected = next->entries[next->first].sequence;
    while (next != nullptr) {
        if (!applyChain(*next, expected, sizeLimit, recovery)) {
            return refuse(Refusal::inconsistent, "a log entry grows the hive beyond what the logs can fill");
        }
        next = nullptr;
        for (Chain& chain : chains) {
            if (chain.pending() && chain.entries[chain.first].sequence == expected) {
                next = &chain;
                break;
            }
        }
    }
    return recovery;
}

}  // namespace hivelog::detail
