// The replay on hives and logs that Windows itself wrote, against Windows' own
// recovery of the same files.
#include <gtest/gtest.h>
#include <hivex.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "replay_test_support.h"
#include "windows_hives.h"

namespace {

using hivelog::LogFile;
using hivelog::LogRole;
using hivelog::ReplayOutcome;
using hivelog::Refusal;
using Bytes = std::vector<unsigned char>;

const char* const cleanHives[] = {
    "BigDataHive",      "CompHive",    "ExtendedASCIIHive",
    "ManySubkeysHive",  "NewFlagsHive", "StringValuesHive",
    "UnicodeHive",      "NewDirtyHive1/RecoveredHive_Windows10", "OldDirtyHive/RecoveredHive_Windows7",
};

class WindowsWritten : public ::testing::Test {
protected:
    void SetUp() override { TARNWICK_NEEDS_WINDOWS_HIVES(); }
};

Bytes mustRead(const std::string& relative) {
    Bytes bytes = readBytes(windowsHive(relative));
    if (bytes.empty()) {
        ADD_FAILURE() << "cannot read " << windowsHive(relative);
    }
    return bytes;
}

TEST_F(WindowsWritten, NewDirtyHiveReplaysToWindows10sRecovery) {
    const Bytes primary = mustRead("NewDirtyHive1/NewDirtyHive");
    const Bytes log1 = mustRead("NewDirtyHive1/NewDirtyHive.LOG1");
    const Bytes log2 = mustRead("NewDirtyHive1/NewDirtyHive.LOG2");
    const Bytes windows = mustRead("NewDirtyHive1/RecoveredHive_Windows10");
    // Which log comes first is found from the entries, not from the order given.
    for (const bool swapped : {false, true}) {
        SCOPED_TRACE(swapped ? "LOG2 given first" : "LOG1 given first");
        std::vector<LogFile> logs = {{LogRole::log1, log1}, {LogRole::log2, log2}};
        if (swapped) {
            std::swap(logs[0], logs[1]);
        }
        const hivelog::ReplayResult result = hivelog::replayHive(primary, logs);
        ASSERT_EQ(result.outcome, ReplayOutcome::replayed) << result.reason;
        EXPECT_EQ(result.format, hivelog::LogFormat::newFormat);
        EXPECT_EQ(result.entriesApplied, 4u);  // 2 from LOG1, then 3, 4, 5 from LOG2
        EXPECT_EQ(result.highestLogSequence, 5u);
        ASSERT_EQ(result.hive.size(), windows.size());
        std::size_t differingPages = 0;
        for (std::size_t at = hivelog::baseBlockSize; at < windows.size(); at += 4096) {
            differingPages += !std::equal(windows.begin() + at, windows.begin() + at + 4096, result.hive.begin() + at);
        }
        EXPECT_EQ(differingPages, 0u) << "4 KiB pages of hive bins that differ from Windows 10's recovery";
        // Windows wrote its recovery with sequence numbers 6, one above the
        // last entry; ours are the same, so the base blocks match whole.
        std::string differing;
        for (std::size_t at = 0; at < hivelog::baseBlockSize; at += 4) {
            if (dwordAt(result.hive, at) != dwordAt(windows, at)) {
                differing += " " + std::to_string(at);
            }
        }
        EXPECT_EQ(differing, "") << "base block dwords that differ from Windows 10's";
        EXPECT_TRUE(hivelog::baseBlockIsClean(result.hive));
    }
}

// Every key path with its values (name, type, data), as hivex reads them.
using Tree = std::map<std::string, std::map<std::string, std::pair<hive_type, std::string>>>;

void walk(hive_h* hive, hive_node_h node, const std::string& path, Tree& tree) {
    auto& values = tree[path];
    hive_value_h* valueList = hivex_node_values(hive, node);
    ASSERT_NE(valueList, nullptr) << path;
    for (hive_value_h* v = valueList; *v != 0; ++v) {
        char* name = hivex_value_key(hive, *v);
        hive_type type{};
        std::size_t length = 0;
        char* data = hivex_value_value(hive, *v, &type, &length);
        ASSERT_NE(name, nullptr) << path;
        ASSERT_NE(data, nullptr) << path << "\\" << name;
        values[name] = {type, std::string(data, length)};
        std::free(name);
        std::free(data);
    }
    std::free(valueList);
    hive_node_h* children = hivex_node_children(hive, node);
    ASSERT_NE(children, nullptr) << path;
    for (hive_node_h* child = children; *child != 0; ++child) {
        char* name = hivex_node_name(hive, *child);
        ASSERT_NE(name, nullptr) << path;
        walk(hive, *child, path + "\\" + name, tree);
        std::free(name);
    }
    std::free(children);
}

Tree treeOf(const Bytes& bytes) {
    char path[] = "/tmp/tarnwick-replay-XXXXXX";
    const int fd = mkstemp(path);
    Tree tree;
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        ADD_FAILURE() << "cannot write a temporary hive";
        return tree;
    }
    close(fd);
    hive_h* hive = hivex_open(path, 0);
    if (hive == nullptr) {
        ADD_FAILURE() << "hivex cannot open the hive";
    } else {
        walk(hive, hivex_root(hive), "", tree);
        hivex_close(hive);
    }
    std::remove(path);
    return tree;
}

std::size_t valueCount(const Tree& tree) {
    std::size_t count = 0;
    for (const auto& key : tree) {
        count += key.second.size();
    }
    return count;
}

TEST_F(WindowsWritten, OldDirtyHiveReplaysToWindows7sTree) {
    const Bytes primary = mustRead("OldDirtyHive/OldDirtyHive");
    const Bytes log1 = mustRead("OldDirtyHive/OldDirtyHive.LOG1");
    const Bytes log2 = readBytes(windowsHive("OldDirtyHive/OldDirtyHive.LOG2"));
    const Tree windows = treeOf(mustRead("OldDirtyHive/RecoveredHive_Windows7"));
    ASSERT_FALSE(windows.empty());
    // The log matters: without it the tree is another one.
    EXPECT_FALSE(treeOf(primary) == windows);
    // A base block torn by a write cut short (its checksum wrong) is taken
    // from the log's copy; the first bin's copy of the time is older than
    // the log's here, so only the time the torn block holds ties them.
    Bytes torn = primary;
    torn[200] ^= 0x5A;
    for (const auto& [what, hive] : {std::pair{"dirty", primary}, std::pair{"torn base block", torn}}) {
        SCOPED_TRACE(what);
        const hivelog::ReplayResult result = hivelog::replayHive(hive, {{LogRole::log1, log1}, {LogRole::log2, log2}});
        ASSERT_EQ(result.outcome, ReplayOutcome::replayed) << result.reason;
        EXPECT_EQ(result.format, hivelog::LogFormat::oldFormat);
        EXPECT_EQ(result.entriesApplied, 64u);  // eight 4 KiB blocks of 512-byte pages
        EXPECT_TRUE(hivelog::baseBlockIsClean(result.hive));
        const Tree replayed = treeOf(result.hive);
        EXPECT_EQ(replayed.size(), windows.size()) << "keys";
        EXPECT_EQ(valueCount(replayed), valueCount(windows)) << "values";
        EXPECT_TRUE(replayed == windows) << "key paths, value names, types or data differ from Windows 7's recovery";
    }
}

TEST_F(WindowsWritten, UnrecoverableDirtyHivesAreRefused) {
    const struct {
        const char* hive;
        std::vector<const char*> logs;
        Refusal refusal;
    } cases[] = {
        {"BadLogHive1/BadLogHive", {"BadLogHive1/BadLogHive.LOG1", "BadLogHive1/BadLogHive.LOG2"},
         Refusal::noUsableLog},
        {"TruncatedDirtyHive", {}, Refusal::noLogs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hive);
        const Bytes primary = mustRead(c.hive);
        std::vector<Bytes> logBytes;
        for (const char* log : c.logs) {
            logBytes.push_back(readBytes(windowsHive(log)));
        }
        std::vector<LogFile> logs;
        for (std::size_t i = 0; i < logBytes.size(); ++i) {
            logs.push_back({i == 0 ? LogRole::log1 : LogRole::log2, logBytes[i]});
        }
        const hivelog::ReplayResult result = hivelog::replayHive(primary, logs);
        EXPECT_EQ(result.outcome, ReplayOutcome::refused);
        EXPECT_EQ(result.refusal, c.refusal) << result.reason;
        EXPECT_TRUE(result.hive.empty());
    }
}

TEST_F(WindowsWritten, CleanHivesNeedNothing) {
    // Logs beside a clean hive are ignored, even logs full of entries.
    const Bytes log1 = mustRead("NewDirtyHive1/NewDirtyHive.LOG1");
    const Bytes log2 = mustRead("NewDirtyHive1/NewDirtyHive.LOG2");
    for (const char* name : cleanHives) {
        SCOPED_TRACE(name);
        const Bytes hive = mustRead(name);
        const Bytes before = hive;
        for (const bool withLogs : {false, true}) {
            std::vector<LogFile> logs;
            if (withLogs) {
                logs = {{LogRole::log1, log1}, {LogRole::log2, log2}};
            }
            const hivelog::ReplayResult result = hivelog::replayHive(hive, logs);
            EXPECT_EQ(result.outcome, ReplayOutcome::clean) << result.reason;
            EXPECT_TRUE(result.hive.empty());
            EXPECT_EQ(result.highestLogSequence, withLogs ? 5u : 0u);
        }
        EXPECT_TRUE(hive == before);
        // The bin checks that a replayed hive must pass hold for every hive
        // Windows wrote, so they refuse nothing sound.
        std::string why;
        EXPECT_TRUE(hivelog::checkBins(hive, &why)) << why;
    }
}

}  // namespace
