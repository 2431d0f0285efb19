// The replay rules on small hives whose logs the log writer makes: which
// entries apply, in which order, where replay stops, and when it refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "log_writer.h"
#include "platform/offline/replay/log_entry.h"
#include "replay_test_support.h"

namespace {

using hivelog::LogFile;
using hivelog::LogRole;
using hivelog::Refusal;
using hivelog::ReplayOutcome;
using logwriter::Bytes;
using logwriter::Entry;

void putDword(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes.at(at + i) = static_cast<unsigned char>(value >> (8 * i));
    }
}

void fixChecksum(Bytes& bytes) { putDword(bytes, 508, hivelog::baseBlockChecksum(bytes.data())); }

// The hive with an allocated cell, marked with `mark`, split off the start of
// the free cell of bin `bin` (the bin's only cell, or the one after the root).
Bytes withCell(Bytes hive, std::uint32_t bin, unsigned char mark) {
    const std::size_t binAt = 4096 + std::size_t{bin} * 4096;
    const std::size_t cell = binAt + (bin == 0 ? 32 + 0x60 : 32);
    const std::uint32_t free = dwordAt(hive, cell);
    putDword(hive, cell, static_cast<std::uint32_t>(-0x20));
    std::memset(hive.data() + cell + 4, mark, 0x1C);
    putDword(hive, cell + 0x20, free - 0x20);
    return hive;
}

// The hive grown to `bins` bins, the new ones empty but for a cell in the first.
Bytes grown(const Bytes& hive, std::uint32_t bins) {
    const Bytes fresh = logwriter::minimalHive(bins);
    Bytes out = hive;
    out.insert(out.end(), fresh.begin() + static_cast<std::ptrdiff_t>(hive.size()), fresh.end());
    putDword(out, 40, bins * 4096);
    return withCell(out, static_cast<std::uint32_t>(hive.size() / 4096 - 1), 0x33);
}

struct Case {
    std::string name;
    Bytes primary;
    std::vector<std::pair<LogRole, Bytes>> logs;
    ReplayOutcome outcome;
    Refusal refusal = Refusal::none;
    Bytes expected = {};  // the hive whose bins the replay must give
};

class Replay : public ::testing::Test {
protected:
    // Four bins at sequence 10; then a change in bin 1 (entry 10), a change in
    // bin 2 (11), and growth to six bins (12). Entry 9 is stale: it would put
    // a cell into bin 3 that no later state has.
    Bytes h0 = withSequences(logwriter::minimalHive(4), 10, 10);
    Bytes h1 = withCell(h0, 1, 0x11);
    Bytes h2 = withCell(h1, 2, 0x22);
    Bytes h3 = grown(h2, 6);
    Entry e9 = logwriter::entryFor(h0, withCell(h0, 3, 0x99), 9);
    Entry e10 = logwriter::entryFor(h0, h1, 10);
    Entry e11 = logwriter::entryFor(h1, h2, 11);
    Entry e12 = logwriter::entryFor(h2, h3, 12);
    Bytes dirty = withSequences(h0, 11, 10);

    static Bytes withSequences(Bytes hive, std::uint32_t primary, std::uint32_t secondary) {
        logwriter::setSequences(hive, primary, secondary);
        return hive;
    }
    Bytes newLog(std::uint32_t copySequence, const std::vector<Entry>& entries) const {
        return logwriter::newFormatLog(h0, copySequence, entries);
    }
    // A log of entries 10, 11, 12 whose second entry `change` alters.
    Bytes withSecondEntry(const std::function<void(Bytes&, std::size_t)>& change, bool reseal) const {
        Bytes log = newLog(10, {e10, e11, e12});
        const std::size_t second = logwriter::entryOffsets(log).at(1);
        change(log, second);
        if (reseal) {
            logwriter::sealEntry(log, second);
        }
        return log;
    }
    // The same, with a dword of the second entry's header set and the entry
    // hashed again, so that only the field itself is wrong.
    Bytes withSecondEntryField(std::size_t field, std::uint32_t value) const {
        return withSecondEntry([&](Bytes& log, std::size_t at) { putDword(log, at + field, value); }, true);
    }
    static hivelog::ReplayResult run(const Case& c);
};

hivelog::ReplayResult Replay::run(const Case& c) {
    std::vector<LogFile> logs;
    for (const auto& log : c.logs) {
        logs.push_back({log.first, log.second});
    }
    return hivelog::replayHive(c.primary, logs);
}

void expectCase(const Case& c, const hivelog::ReplayResult& result) {
    EXPECT_EQ(result.outcome, c.outcome) << result.reason;
    EXPECT_EQ(result.refusal, c.refusal) << result.reason;
    if (c.outcome != ReplayOutcome::replayed || result.outcome != ReplayOutcome::replayed) {
        EXPECT_TRUE(result.hive.empty());
        return;
    }
    std::string why;
    EXPECT_TRUE(hivelog::checkBins(result.hive, &why)) << why;
    EXPECT_TRUE(hivelog::baseBlockIsClean(result.hive));
    const std::uint32_t binsSize = dwordAt(c.expected, 40);
    ASSERT_EQ(dwordAt(result.hive, 40), binsSize);
    ASSERT_GE(result.hive.size(), 4096u + binsSize);
    EXPECT_TRUE(std::equal(c.expected.begin() + 4096, c.expected.begin() + 4096 + binsSize, result.hive.begin() + 4096))
        << "the hive bins differ from the expected state";
}

TEST_F(Replay, NewFormat) {
    const Bytes h0And2 = grown(withCell(h0, 2, 0x22), 6);  // entries 11 and 12 only
    Bytes torn = dirty;
    std::memcpy(torn.data(), "rexf", 4);
    const std::vector<Case> cases = {
        {"one log", dirty, {{LogRole::log1, newLog(10, {e10, e11, e12})}}, ReplayOutcome::replayed, Refusal::none, h3},
        {"LOG1 first, continued in LOG2", dirty,
         {{LogRole::log1, newLog(10, {e10})}, {LogRole::log2, newLog(11, {e11, e12})}},
         ReplayOutcome::replayed, Refusal::none, h3},
        {"LOG2 holds the earlier entries", dirty,
         {{LogRole::log1, newLog(11, {e11, e12})}, {LogRole::log2, newLog(10, {e10})}},
         ReplayOutcome::replayed, Refusal::none, h3},
        {"continued in .LOG", dirty,
         {{LogRole::log1, newLog(10, {e10, e11})}, {LogRole::log, newLog(12, {e12})}},
         ReplayOutcome::replayed, Refusal::none, h3},
        {"a gap stops", dirty, {{LogRole::log1, newLog(10, {e10, e12})}}, ReplayOutcome::replayed, Refusal::none, h1},
        {"a gap between logs stops", dirty,
         {{LogRole::log1, newLog(10, {e10})}, {LogRole::log2, newLog(12, {e12})}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"a stale log below the secondary number is ignored", dirty,
         {{LogRole::log1, newLog(9, {e9})}, {LogRole::log2, newLog(10, {e10, e11, e12})}},
         ReplayOutcome::replayed, Refusal::none, h3},
        {"stale entries leading a log are skipped", dirty, {{LogRole::log1, newLog(9, {e9, e10, e11})}},
         ReplayOutcome::replayed, Refusal::none, h2},
        {"a stale entry after newer ones ends the log", dirty, {{LogRole::log1, newLog(10, {e10, e9, e11})}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"page data that fails Hash-1 stops", dirty,
         {{LogRole::log1, withSecondEntry([](Bytes& l, std::size_t at) { l[at + 48 + 100] ^= 1; }, false)}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"a header that fails Hash-2 stops", dirty,
         {{LogRole::log1, withSecondEntry([](Bytes& l, std::size_t at) { l[at + 8] ^= 1; }, false)}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"a page past the entry's bins stops", dirty,
         {{LogRole::log1, withSecondEntryField(40, 4 * 4096 - 512)}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"a page size that overflows stops", dirty,
         {{LogRole::log1, withSecondEntryField(44, 0xFFFFFFFF)}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"a page count that overflows stops", dirty,
         {{LogRole::log1, withSecondEntryField(20, 0x20000001)}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"an entry size off the sector grid stops", dirty,
         {{LogRole::log1, withSecondEntryField(4, 4608 - 8)}},  // the entry is 4608 bytes
         ReplayOutcome::replayed, Refusal::none, h1},
        {"a bins size off the 4 KiB grid stops", dirty,
         {{LogRole::log1, withSecondEntryField(16, 4 * 4096 + 512)}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"an entry that runs past the file stops", dirty,
         {{LogRole::log1, [&] {
               Bytes log = newLog(10, {e10, e11, e12});
               log.resize(log.size() - 512);
               return log;
           }()}},
         ReplayOutcome::replayed, Refusal::none, h2},
        {"growth the pages do not fill is refused", dirty,
         {{LogRole::log1, [&] {
               Entry partial = e12;
               partial.pages[0].bytes.resize(4096);  // bin 5 never written
               return newLog(10, {e10, e11, partial});
           }()}},
         ReplayOutcome::refused, Refusal::inconsistent},
        {"growth beyond what the logs hold is refused", dirty,
         {{LogRole::log1, [&] {
               Entry huge = e11;
               huge.binsSize = 0x7FFFF000;
               return newLog(10, {e10, huge});
           }()}},
         ReplayOutcome::refused, Refusal::inconsistent},
        {"a torn base block is recovered from the log's copy", torn, {{LogRole::log1, newLog(10, {e10, e11, e12})}},
         ReplayOutcome::replayed, Refusal::none, h3},
        {"with a torn base block only the latest log counts", torn,
         {{LogRole::log1, newLog(10, {e10})}, {LogRole::log2, newLog(11, {e11, e12})}},
         ReplayOutcome::replayed, Refusal::none, h0And2},
        {"nothing at or after the secondary number", dirty, {{LogRole::log1, newLog(9, {e9})}},
         ReplayOutcome::refused, Refusal::noUsableLog},
        {"a copy with a bad checksum makes the log unusable", dirty,
         {{LogRole::log1, [&] {
               Bytes log = newLog(10, {e10, e11, e12});
               log[100] ^= 1;
               return log;
           }()}},
         ReplayOutcome::refused, Refusal::noUsableLog},
        {"no logs", dirty, {}, ReplayOutcome::refused, Refusal::noLogs},
        {"empty logs", dirty, {{LogRole::log1, {}}, {LogRole::log2, {}}}, ReplayOutcome::refused, Refusal::noLogs},
        {"shorter than a base block", Bytes(dirty.begin(), dirty.begin() + 4000),
         {{LogRole::log1, newLog(10, {e10})}}, ReplayOutcome::refused, Refusal::notAHive},
        {"no sequence number left", withSequences(h0, 0, 0xFFFFFFFF),
         {{LogRole::log1, newLog(0xFFFFFFFF, {[&] {
               Entry last = e10;
               last.sequence = 0xFFFFFFFF;
               return last;
           }()})}},
         ReplayOutcome::refused, Refusal::sequenceExhausted},
        {"a new-format log outranks an old-format one", dirty,
         {{LogRole::log1, logwriter::oldFormatLog(h0, h1, 11)}, {LogRole::log2, newLog(10, {e10, e11, e12})}},
         ReplayOutcome::replayed, Refusal::none, h3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectCase(c, run(c));
    }
}

TEST_F(Replay, OldFormat) {
    Bytes otherTime = logwriter::oldFormatLog(h0, h3, 11);
    otherTime[12] ^= 1;
    fixChecksum(otherTime);
    // A torn base block: the time it still holds, or the first bin's copy of
    // it, ties the log to the hive.
    Bytes torn = dirty;
    torn[300] ^= 1;
    Bytes tornOtherBinTime = torn;
    tornOtherBinTime[4096 + 20] ^= 1;
    Bytes h3OtherBinTime = h3;
    h3OtherBinTime[4096 + 20] ^= 1;
    // Bit 8 of the time, so that the two flips do not cancel in the checksum.
    Bytes tornOtherTimes = tornOtherBinTime;
    tornOtherTimes[13] ^= 1;
    Bytes tornBinTimeOnly = torn;
    tornBinTimeOnly[13] ^= 1;
    Bytes truncated = logwriter::oldFormatLog(h0, h3, 11);
    truncated.resize(truncated.size() - 512);
    const std::vector<Case> cases = {
        {"pages applied, the hive grown", dirty, {{LogRole::log1, logwriter::oldFormatLog(h0, h3, 11)}},
         ReplayOutcome::replayed, Refusal::none, h3},
        {"another last-written time is refused", dirty, {{LogRole::log1, otherTime}},
         ReplayOutcome::refused, Refusal::noUsableLog},
        {"LOG2 when LOG1 carries another time", dirty,
         {{LogRole::log1, otherTime}, {LogRole::log2, logwriter::oldFormatLog(h0, h2, 11)}},
         ReplayOutcome::replayed, Refusal::none, h2},
        {"LOG1 before LOG2 when both apply", dirty,
         {{LogRole::log2, logwriter::oldFormatLog(h0, h2, 11)}, {LogRole::log1, logwriter::oldFormatLog(h0, h1, 11)}},
         ReplayOutcome::replayed, Refusal::none, h1},
        {"a log without all its pages is unusable", dirty, {{LogRole::log1, truncated}},
         ReplayOutcome::refused, Refusal::noUsableLog},
        {"a log that marks no page belongs to no write of this hive", dirty,
         {{LogRole::log1, logwriter::oldFormatLog(h0, h0, 11)}}, ReplayOutcome::refused, Refusal::noUsableLog},
        {"a torn base block matched by the first bin's time", torn,
         {{LogRole::log1, logwriter::oldFormatLog(h0, h3, 11)}}, ReplayOutcome::replayed, Refusal::none, h3},
        {"a torn base block that still holds the log's time", tornOtherBinTime,
         {{LogRole::log1, logwriter::oldFormatLog(h0, h3, 11)}}, ReplayOutcome::replayed, Refusal::none,
         h3OtherBinTime},
        {"a torn base block whose time was torn too", tornBinTimeOnly,
         {{LogRole::log1, logwriter::oldFormatLog(h0, h3, 11)}}, ReplayOutcome::replayed, Refusal::none, h3},
        {"a torn base block with another time in it and in the first bin", tornOtherTimes,
         {{LogRole::log1, logwriter::oldFormatLog(h0, h3, 11)}}, ReplayOutcome::refused, Refusal::noUsableLog},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expectCase(c, run(c));
    }
}

TEST_F(Replay, SequenceNumbers) {
    // A clean hive: its logs are ignored, but their numbers are counted.
    const auto clean = hivelog::replayHive(h0, {{LogRole::log1, newLog(40, {e10, e11, e12})}});
    EXPECT_EQ(clean.outcome, ReplayOutcome::clean);
    EXPECT_EQ(clean.highestLogSequence, 40u);
    const auto cleanEntries = hivelog::replayHive(h0, {{LogRole::log2, newLog(3, {e10, e11, e12})}});
    EXPECT_EQ(cleanEntries.highestLogSequence, 12u);
    EXPECT_EQ(hivelog::highestLogSequence({{LogRole::log, logwriter::oldFormatLog(h0, h1, 77)}}), 77u);

    // Read by parts for a hive numbered 11, as its write-back reads a clean
    // hive's logs: entries below 11 are hopped over unchecked, those from 11
    // on must be whole and sealed.
    Bytes unsealed = newLog(3, {e10, e11, e12});
    unsealed[unsealed.size() - 1] ^= 1;  // e12's pages: its hash no longer matches
    const std::vector<std::pair<Bytes, std::uint32_t>> parts = {
        {newLog(3, {e10, e11, e12}), 12u}, {newLog(40, {e10}), 40u}, {unsealed, 11u}};
    for (const auto& [log, highest] : parts) {
        hivelog::LogNumbers numbers;
        const auto read = [&log](std::uint64_t offset, unsigned char* to, std::size_t length) {
            std::memcpy(to, log.data() + offset, length);
            return true;
        };
        ASSERT_TRUE(hivelog::readLogNumbers(read, log.size(), 11, numbers));
        EXPECT_EQ(numbers.highest, highest);
        EXPECT_TRUE(numbers.newFormat);
    }

    // A replayed hive is numbered one above everything in its logs, stale
    // entries included, and carries the last applied entry's KTM flag.
    Entry flagged = e11;
    flagged.flags = 1;
    const Bytes log1 = newLog(10, {e10, flagged, e9});
    const Bytes stale = newLog(30, {e9});
    const auto replayed = hivelog::replayHive(dirty, {{LogRole::log1, log1}, {LogRole::log2, stale}});
    ASSERT_EQ(replayed.outcome, ReplayOutcome::replayed) << replayed.reason;
    EXPECT_EQ(replayed.entriesApplied, 2u);
    EXPECT_EQ(replayed.highestLogSequence, 30u);
    EXPECT_EQ(dwordAt(replayed.hive, 4), 31u);
    EXPECT_EQ(dwordAt(replayed.hive, 8), 31u);
    EXPECT_EQ(dwordAt(replayed.hive, 144) & 1, 1u);
}

TEST(CleanBaseBlock, MadeForWriting) {
    Bytes hive = logwriter::minimalHive(1);
    logwriter::setSequences(hive, 8, 7);
    hive[28] = 1;
    ASSERT_FALSE(hivelog::baseBlockIsClean(hive));
    hivelog::makeCleanBaseBlock(hive.data(), 0x12345678, 0x01DC000011112222ull);
    EXPECT_TRUE(hivelog::baseBlockIsClean(hive));
    EXPECT_EQ(dwordAt(hive, 4), 0x12345678u);
    EXPECT_EQ(dwordAt(hive, 8), 0x12345678u);
    EXPECT_EQ(qwordAt(hive, 12), 0x01DC000011112222ull);
    EXPECT_EQ(dwordAt(hive, 28), 0u);
}

TEST(CheckBins, FindsTornBins) {
    const Bytes sound = logwriter::minimalHive(3);
    ASSERT_TRUE(hivelog::checkBins(sound));
    const struct {
        const char* name;
        std::function<void(Bytes&)> change;
    } cases[] = {
        {"a signature", [](Bytes& h) { h[4096 + 4096] = 'x'; }},
        {"a bin's offset", [](Bytes& h) { putDword(h, 4096 + 4096 + 4, 0); }},
        {"a bin size past the bins", [](Bytes& h) { putDword(h, 4096 + 8192 + 8, 8192); }},
        {"a bin size of zero", [](Bytes& h) { putDword(h, 4096 + 8, 0); }},
        {"a cell that runs past its bin", [](Bytes& h) { putDword(h, 4096 + 4096 + 32, 4096); }},
        {"a cell of zero bytes", [](Bytes& h) { putDword(h, 4096 + 4096 + 32, 0); }},
        {"cells off the 8-byte grid",
         [](Bytes& h) {
             putDword(h, 4096 + 4096 + 32, 28);
             putDword(h, 4096 + 4096 + 60, 4096 - 60);
         }},
        {"the largest negative cell size", [](Bytes& h) { putDword(h, 4096 + 4096 + 32, 0x80000000u); }},
        {"a bins size the file does not hold", [](Bytes& h) { putDword(h, 40, 4 * 4096); }},
        {"a bins size off the grid", [](Bytes& h) { putDword(h, 40, 3 * 4096 - 512); }},
        {"a root that is a free cell", [](Bytes& h) { putDword(h, 36, 32 + 0x60); }},
        {"a root inside a cell", [](Bytes& h) { putDword(h, 36, 40); }},
    };
    for (const auto& c : cases) {
        Bytes hive = sound;
        c.change(hive);
        std::string why;
        EXPECT_FALSE(hivelog::checkBins(hive, &why)) << c.name;
    }
}

}  // namespace
