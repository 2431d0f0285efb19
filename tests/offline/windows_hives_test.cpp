// Hives that Windows itself wrote (../shared/hives/windows-written), copied
// into a scratch volume at run time: dirty ones replayed as Windows replays
// them and written back clean with the change, the ones Windows could not
// recover refused untouched, and every sound one changed without any other
// key or value changing, as hivex and libregf read them.
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "offline_test_support.h"
#include "sample_volume.h"
#include "windows_hives.h"

namespace {

namespace fs = std::filesystem;

const char* const bobSid = "S-1-5-21-3623811015-3361044348-30300820-1002";
const char* const bobHive = "Users/bob/NTUSER.DAT";
const char* const valueKey = "Software\\Tarnwick Test";
const std::string greeting = "Grüße von Tarnwick";

std::string windowsFile(const std::string& relative) { return std::string(TARNWICK_WINDOWS_HIVES) + "/" + relative; }

// The hivex tree of a hive after the change: every key of `expected` and no
// other, each with the values expected; the keys the change stamped with a
// time within [from, to], every other key with its old time (when the
// times are compared at all).
void expectTree(const HivexTree& expected, const std::set<std::string>& stamped, const HivexTree& after,
                std::uint64_t from, std::uint64_t to, bool compareTimes) {
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(after.size(), expected.size());
    for (const auto& [path, key] : expected) {
        SCOPED_TRACE("key \"" + path + "\"");
        const auto found = after.find(path);
        ASSERT_NE(found, after.end());
        EXPECT_TRUE(found->second.values == key.values) << "values differ";
        if (stamped.count(path) != 0) {
            EXPECT_GE(static_cast<std::uint64_t>(found->second.lastWrite), from);
            EXPECT_LE(static_cast<std::uint64_t>(found->second.lastWrite), to);
        } else if (compareTimes) {
            EXPECT_EQ(found->second.lastWrite, key.lastWrite);
        }
    }
}

// The same through regfexport, whose key paths begin with the root's name.
void expectTree(const RegfTree& expected, const RegfTree& after) {
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(after.size(), expected.size());
    for (const auto& [path, values] : expected) {
        SCOPED_TRACE("regfexport key \"" + path + "\"");
        const auto found = after.find(path);
        ASSERT_NE(found, after.end());
        EXPECT_EQ(found->second, values);
    }
}

std::string regfPath(const RegfTree& tree, const std::string& path) {
    for (const auto& entry : tree) {
        if (entry.first.find('\\') == std::string::npos) {
            return path.empty() ? entry.first : entry.first + "\\" + path;
        }
    }
    return path;
}

// A REG_SZ value as hivex gives it and as regfexport prints it.
std::pair<int, std::string> hivexText(const std::string& utf8) { return {REG_SZ, sample::utf16z(utf8)}; }
std::string regfText(const std::string& name, const std::string& utf8) {
    return "Value: " + name + "\nType: string (REG_SZ)\nData size: " + std::to_string(sample::utf16z(utf8).size()) +
           "\nData: " + utf8;
}

// What the set of the greeting makes of a hive's trees: the keys of the
// path made where missing (the parent of the first one stamped), and the
// value in the last.
void addGreeting(HivexTree& tree, RegfTree& regf, std::set<std::string>& stamped) {
    const RegfTree original = regf;
    std::string parent;
    for (const std::string& path : {std::string("Software"), std::string(valueKey)}) {
        if (tree.count(path) == 0) {
            stamped.insert(parent);
            stamped.insert(path);
            tree[path];
            regf[regfPath(original, path)];
        }
        parent = path;
    }
    stamped.insert(valueKey);
    tree[valueKey].values["Greeting"] = hivexText(greeting);
    regf[regfPath(original, valueKey)].push_back(regfText("Greeting", greeting));
}

class WindowsHivesTest : public OfflineTest {
protected:
    void SetUp() override {
        OfflineTest::SetUp();
        TARNWICK_NEEDS_WINDOWS_HIVES();
    }
    // Copies Windows' files into the volume; returns each copy's bytes.
    std::map<std::string, std::string> place(const std::vector<std::pair<std::string, std::string>>& files) {
        std::map<std::string, std::string> placed;
        for (const auto& [source, target] : files) {
            EXPECT_TRUE(fs::exists(windowsFile(source))) << "cannot read " << windowsFile(source);
            const std::string bytes = fileBytes(windowsFile(source));
            writeBytes(host(target), bytes);
            placed[target] = bytes;
        }
        return placed;
    }
    void expectUnchanged(const std::map<std::string, std::string>& files) {
        for (const auto& [file, bytes] : files) {
            EXPECT_TRUE(fileBytes(host(file)) == bytes) << file << " changed";
        }
    }
    LONG onBobsHive(const std::function<LONG(HKEY)>& change) {
        LONG status = RegLoadKeyW(HKEY_USERS, L"TarnwickWindowsHive", L"C:\\Users\\bob\\NTUSER.DAT");
        if (status != ERROR_SUCCESS) {
            return status;
        }
        HKEY root = nullptr;
        status = RegOpenKeyExW(HKEY_USERS, L"TarnwickWindowsHive", 0, KEY_WRITE, &root);
        if (status == ERROR_SUCCESS) {
            status = change(root);
            RegCloseKey(root);
        }
        const LONG unloaded = RegUnLoadKeyW(HKEY_USERS, L"TarnwickWindowsHive");
        return status != ERROR_SUCCESS ? status : unloaded;
    }
};

std::wstring wide(const std::string& utf8) {
    std::wstring out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        wchar_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            c = static_cast<wchar_t>(c << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F));
        }
        out += c;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

TEST_F(WindowsHivesTest, DirtyHivesAreReplayedAsWindowsRecoveredThemAndWrittenBackClean) {
    const struct {
        const char* folder;
        const char* name;
        const char* recovery;
        std::vector<const char*> logs;
        std::uint32_t sequence;  // one above every number in the primary and its logs
        bool sameTimes;          // the recovery's key times are the replay's
    } cases[] = {
        // Windows 10's recovery has the same bins as our replay.
        {"NewDirtyHive1", "NewDirtyHive", "RecoveredHive_Windows10", {"LOG1", "LOG2"}, 6, true},
        // Windows 7 changed two pages after it loaded the hive, so only the
        // keys, values and data are the same.
        {"OldDirtyHive", "OldDirtyHive", "RecoveredHive_Windows7", {"LOG1", "LOG2"}, 6, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(drive_);
        std::string error;
        ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
        // Windows names the logs in lower case beside NTUSER.DAT.
        std::vector<std::pair<std::string, std::string>> files = {
            {std::string(c.folder) + "/" + c.name, bobHive}};
        for (const char* log : c.logs) {
            files.push_back(
                {std::string(c.folder) + "/" + c.name + "." + log, std::string("Users/bob/ntuser.dat.") + log});
        }
        const auto placed = place(files);
        std::map<std::string, std::string> logs = placed;
        logs.erase(bobHive);

        const std::uint64_t from = fileTimeNow();
        const ToolRun run = runTool({"/set", "/k", valueKey, "/vn", "Greeting", "/vstr", greeting}, drive_);
        const std::uint64_t to = fileTimeNow();
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.log.find(std::string("HKEY_USERS\\") + bobSid + ": unloading"), std::string::npos) << run.log;
        EXPECT_EQ(run.log.find(std::string("failed for HKEY_USERS\\") + bobSid), std::string::npos) << run.log;

        expectUnchanged(logs);
        const std::string written = fileBytes(host(bobHive));
        EXPECT_EQ(dwordOf(written, 4), c.sequence);
        EXPECT_EQ(dwordOf(written, 8), c.sequence);
        EXPECT_EQ(dwordOf(written, 28), 0u) << "file type";
        EXPECT_GE(qwordOf(written, 12), from);
        EXPECT_LE(qwordOf(written, 12), to);
        const std::string recovery = windowsFile(std::string(c.folder) + "/" + c.recovery);
        HivexTree expected = hivexTree(recovery);
        RegfTree expectedRegf = regfexportTree(recovery);
        std::set<std::string> stamped;
        addGreeting(expected, expectedRegf, stamped);
        expectTree(expected, stamped, hivexTree(host(bobHive)), from, to, c.sameTimes);
        expectTree(expectedRegf, regfexportTree(host(bobHive)));
    }
}

TEST_F(WindowsHivesTest, DirtyHivesWindowsCouldNotRecoverAreRefusedUntouched) {
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;
    } cases[] = {
        {"BadLogHive1: its log does not apply",
         {{"BadLogHive1/BadLogHive", bobHive},
          {"BadLogHive1/BadLogHive.LOG1", "Users/bob/NTUSER.DAT.LOG1"},
          {"BadLogHive1/BadLogHive.LOG2", "Users/bob/NTUSER.DAT.LOG2"}}},
        // Cut short, so any other check would call it corrupt (1009); dirty
        // and without logs, it is a hive whose changes are elsewhere.
        {"TruncatedDirtyHive: no logs", {{"TruncatedDirtyHive", bobHive}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(drive_);
        std::string error;
        ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
        const auto placed = place(c.files);
        const ToolRun run = runTool({"/set", "/k", valueKey, "/vn", "Greeting", "/vstr", greeting}, drive_);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.log.find(std::string("RegLoadKeyW() failed for HKEY_USERS\\") + bobSid +
                               ", file path = '\"C:\\\\Users\\\\Bob\\\\ntuser.dat\"', error = 50"),
                  std::string::npos)
            << run.log;
        expectUnchanged(placed);
        EXPECT_TRUE(temporaryFiles("Users/bob").empty());
        // The other profiles are done all the same.
        EXPECT_EQ(hivexString(host("Users/alice/ntuser.dat"), valueKey, "Greeting"), greeting);
    }
}

LONG setText(HKEY root, const std::string& key, const wchar_t* name, const std::string& text) {
    const std::wstring data = wide(text);
    return RegSetKeyValueW(root, wide(key).c_str(), name, REG_SZ, data.c_str(),
                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

TEST_F(WindowsHivesTest, SoundHivesRoundTripASetAndADeleteWithNothingElseChanged) {
    const char* const hives[] = {
        "BigDataHive",      "CompHive",   "ExtendedASCIIHive", "ManySubkeysHive",
        "NewFlagsHive",     "StringValuesHive", "UnicodeHive", "NewDirtyHive1/RecoveredHive_Windows10",
        "OldDirtyHive/RecoveredHive_Windows7",
    };
    const std::string inPlace = "set beside the values Windows wrote";
    // Without logs a hive is rewritten whole; with a new-format log beside
    // it, as Windows 8.1 and later keep one, it is written in place through
    // that log, which must replay the old hive to the new one.
    for (const bool withLog : {false, true})
    for (const char* name : hives) {
        SCOPED_TRACE(std::string(name) + (withLog ? ", written through its log" : ", rewritten whole"));
        fs::remove_all(host("Users/bob"));
        place({{name, bobHive}});
        if (withLog) {
            addNewFormatLog(host(bobHive), host("Users/bob/ntuser.dat.LOG1"));
            writeBytes(host("Users/bob/ntuser.dat.LOG2"), "");
        }
        // What an in-place write promises, for the write just made.
        std::string before;
        ino_t inode = 0;
        const auto remember = [&] {
            before = fileBytes(host(bobHive));
            inode = inodeOf(host(bobHive));
        };
        const auto expectWrittenThroughLog = [&] {
            if (withLog) {
                EXPECT_EQ(inPlaceProblems(before, host(bobHive), inode), "");
            }
        };
        const HivexTree original = hivexTree(host(bobHive));
        const RegfTree originalRegf = regfexportTree(host(bobHive));
        // A key that holds values already, whose list the set changes; one
        // that holds a big-data value where there is one, which must come
        // through whole.
        std::string holder;
        bool holdsBigData = false;
        for (const auto& [path, key] : original) {
            bool big = false;
            for (const auto& value : key.values) {
                big = big || value.second.second.size() > 16344;
            }
            if (!key.values.empty() && (holder.empty() || (big && !holdsBigData))) {
                holder = path;
                holdsBigData = big;
            }
        }

        HivexTree expected = original;
        RegfTree expectedRegf = originalRegf;
        std::set<std::string> stamped;
        addGreeting(expected, expectedRegf, stamped);
        if (!holder.empty()) {
            stamped.insert(holder);
            expected[holder].values["Tarnwick"] = hivexText(inPlace);
            expectedRegf[regfPath(originalRegf, holder)].push_back(regfText("Tarnwick", inPlace));
        }
        remember();
        const std::uint64_t from = fileTimeNow();
        ASSERT_EQ(onBobsHive([&](HKEY root) {
                      const LONG status = setText(root, valueKey, L"Greeting", greeting);
                      return status != ERROR_SUCCESS || holder.empty() ? status
                                                                       : setText(root, holder, L"Tarnwick", inPlace);
                  }),
                  ERROR_SUCCESS);
        const std::uint64_t to = fileTimeNow();
        expectWrittenThroughLog();
        const HivexTree set = hivexTree(host(bobHive));
        expectTree(expected, stamped, set, from, to, true);
        expectTree(expectedRegf, regfexportTree(host(bobHive)));

        // The delete takes the values out again and stamps their keys only.
        expected = set;
        expectedRegf = originalRegf;
        expected[valueKey].values.clear();
        stamped = {valueKey};
        for (const std::string& path : {std::string("Software"), std::string(valueKey)}) {
            expectedRegf[regfPath(originalRegf, path)];
        }
        if (!holder.empty()) {
            expected[holder].values.erase("Tarnwick");
            stamped.insert(holder);
        }
        remember();
        const std::uint64_t deleting = fileTimeNow();
        ASSERT_EQ(onBobsHive([&](HKEY root) {
                      const LONG status = RegDeleteKeyValueW(root, wide(valueKey).c_str(), L"Greeting");
                      return status != ERROR_SUCCESS || holder.empty()
                                 ? status
                                 : RegDeleteKeyValueW(root, wide(holder).c_str(), L"Tarnwick");
                  }),
                  ERROR_SUCCESS);
        expectWrittenThroughLog();
        expectTree(expected, stamped, hivexTree(host(bobHive)), deleting, fileTimeNow(), true);
        expectTree(expectedRegf, regfexportTree(host(bobHive)));
    }
}

}  // namespace
