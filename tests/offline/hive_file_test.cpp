// Loading and writing back hive files: a dirty hive is replayed from its logs
// and written back clean, what is not a sound hive (as its logs leave it) is
// never loaded, a hive another run holds is not shared, the replaced file
// keeps its owner, mode and attributes, and gets the key times, the written
// time and the sequence numbers Windows would give it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <tuple>

#include "log_writer.h"
#include "offline_test_support.h"
#include "platform/offline/hive_file.h"
#include "platform/offline/replay/hive_log.h"

namespace {

const wchar_t* const mount = L"S-1-5-21-1-2-3-1002";
const char* const hiveFile = "Users/bob/NTUSER.DAT";
const wchar_t* const hivePath = L"C:\\Users\\bob\\NTUSER.DAT";

void putDword(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// Stores a correct checksum, so that only the field changed is wrong.
void fixChecksum(std::string& bytes) {
    putDword(bytes, 508, hivelog::baseBlockChecksum(reinterpret_cast<const unsigned char*>(bytes.data())));
}

LONG setString(const wchar_t* subKey, const wchar_t* name, const std::wstring& text) {
    HKEY root = nullptr;
    LONG status = RegOpenKeyExW(HKEY_USERS, mount, 0, KEY_WRITE, &root);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = RegSetKeyValueW(root, subKey, name, REG_SZ, text.c_str(),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(root);
    return status;
}

LONG setOwner(const std::wstring& text) { return setString(L"Software\\App", L"Owner", text); }

// A string value of the loaded hive as RegGetValueW reads it; empty when missing.
std::wstring loadedString(const wchar_t* subKey, const wchar_t* name) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer);
    const std::wstring path = std::wstring(mount) + L"\\" + subKey;
    return RegGetValueW(HKEY_USERS, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) == ERROR_SUCCESS
               ? std::wstring(buffer)
               : std::wstring();
}

using HiveFileTest = OfflineTest;

TEST_F(HiveFileTest, UntrustworthyFilesFailTheLoadAndStayUntouched) {
    struct Case {
        const char* what;
        std::function<void(std::string&)> spoil;
        LONG expected;
    };
    const Case cases[] = {
        {"sequence numbers differ (logs pending, none there)",
         [](std::string& b) { putDword(b, 8, 7); fixChecksum(b); }, ERROR_NOT_SUPPORTED},
        {"sequence numbers differ, and the logs hold nothing that applies",
         [this](std::string& b) {
             putDword(b, 8, 7);
             fixChecksum(b);
             writeBytes(host(hiveFile) + ".LOG1", std::string(8192, '\x01'));
             writeBytes(host(hiveFile) + ".LOG2", std::string());
         },
         ERROR_NOT_SUPPORTED},
        {"no sequence number left to write the hive with",
         [](std::string& b) { putDword(b, 4, 0xFFFFFFFF); putDword(b, 8, 0xFFFFFFFF); fixChecksum(b); },
         ERROR_NOT_SUPPORTED},
        {"a log holds the last sequence number",
         [this](std::string& b) {
             const logwriter::Bytes log = logwriter::newFormatLog(logwriter::Bytes(b.begin(), b.end()), 0xFFFFFFFF, {});
             writeBytes(host(hiveFile) + ".LOG2", std::string(log.begin(), log.end()));
         },
         ERROR_NOT_SUPPORTED},
        {"a folder in a log's place",
         [this](std::string&) { std::filesystem::create_directories(host(hiveFile) + ".log1"); }, ERROR_ACCESS_DENIED},
        {"checksum wrong", [](std::string& b) { b[508] ^= 0x55; }, ERROR_BADDB},
        {"truncated inside the bins", [](std::string& b) { b.resize(b.size() - 4096); }, ERROR_BADDB},
        {"truncated below the smallest hive", [](std::string& b) { b.resize(5000); }, ERROR_BADDB},
        {"empty file", [](std::string& b) { b.clear(); }, ERROR_BADDB},
        {"random bytes", [](std::string& b) {
             unsigned seed = 12345;
             for (char& c : b) { seed = seed * 1103515245 + 12345; c = static_cast<char>(seed >> 16); }
         }, ERROR_BADDB},
        {"foreign file (text)", [](std::string& b) { b = std::string(9000, 'T'); }, ERROR_BADDB},
        {"unknown major version", [](std::string& b) { putDword(b, 20, 2); fixChecksum(b); }, ERROR_BADDB},
        {"bins garbled behind a sound base block",
         [](std::string& b) { for (std::size_t i = 4096; i < b.size(); ++i) b[i] = static_cast<char>(i * 7); },
         ERROR_BADDB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        makeHive(hiveFile);
        std::string bytes = fileBytes(host(hiveFile));
        c.spoil(bytes);
        writeBytes(host(hiveFile), bytes);
        EXPECT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), c.expected);
        EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_FILE_NOT_FOUND) << "the hive stayed loaded";
        EXPECT_EQ(fileBytes(host(hiveFile)), bytes);
        EXPECT_TRUE(temporaryFiles("Users/bob").empty());
        std::filesystem::remove_all(host("Users/bob"));
    }
}

// Bins are walked as changes need them; one that no change read is checked
// before the hive is written, and a damaged one keeps the file (and its log)
// as they were, whichever way the hive would have been written.
TEST_F(HiveFileTest, ADamagedBinNoChangeReadKeepsTheHiveUnwritten) {
    for (const bool withLog : {false, true}) {
        SCOPED_TRACE(withLog ? "in place" : "atomically");
        std::filesystem::remove_all(host("Users/bob"));
        makeHive(hiveFile);
        std::string bytes = fileBytes(host(hiveFile));
        // A last bin whose cells do not tile it.
        const std::uint32_t bins = dwordOf(bytes, 40);
        std::string bin(4096, '\0');
        std::memcpy(&bin[0], "hbin", 4);
        putDword(bin, 4, bins);
        putDword(bin, 8, 4096);
        putDword(bin, 32, 8000);
        bytes.resize(4096 + bins);
        bytes += bin;
        putDword(bytes, 40, bins + 4096);
        fixChecksum(bytes);
        writeBytes(host(hiveFile), bytes);
        if (withLog) {
            addNewFormatLog(host(hiveFile), host("Users/bob/NTUSER.DAT.LOG1"));
        }
        const std::string log = withLog ? fileBytes(host("Users/bob/NTUSER.DAT.LOG1")) : "";
        ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
        ASSERT_EQ(setOwner(L"never written"), ERROR_SUCCESS);
        EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_BADDB);
        EXPECT_EQ(fileBytes(host(hiveFile)), bytes);
        EXPECT_EQ(withLog ? fileBytes(host("Users/bob/NTUSER.DAT.LOG1")) : "", log);
        EXPECT_TRUE(temporaryFiles("Users/bob").empty());
    }
}

TEST_F(HiveFileTest, AHiveHeldByAnotherRunOrNameIsNotLoadedTwice) {
    makeHive(hiveFile);
    // Another run holds the hive: its lock is an flock on the file.
    const int other = open(host(hiveFile).c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SHARING_VIOLATION);
    close(other);

    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
    EXPECT_EQ(RegLoadKeyW(HKEY_USERS, L"second-name", L"C:\\USERS\\BOB\\ntuser.dat"), ERROR_SHARING_VIOLATION);
    // And while this run holds it, another cannot take it.
    const int third = open(host(hiveFile).c_str(), O_RDONLY);
    EXPECT_NE(flock(third, LOCK_EX | LOCK_NB), 0);
    close(third);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
}

TEST_F(HiveFileTest, TemporaryFileOfAKilledRunIsNeverTheHiveAndIsCleanedUp) {
    makeHive(hiveFile);
    const std::string stale = host("Users/bob/NTUSER.DAT") + offline::temporaryMark + "4242-1-99.tmp";
    writeBytes(stale, fileBytes(host(hiveFile)).substr(0, 6000));
    const std::string unrelated = host("Users/bob/notes.txt.tarnwick-1-1-1.tmp");
    writeBytes(unrelated, "not ours to remove");

    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_EQ(setOwner(L"after the crash"), ERROR_SUCCESS);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
    EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "Owner"), "after the crash");
    EXPECT_EQ(temporaryFiles("Users/bob"), std::vector<std::string>{"notes.txt.tarnwick-1-1-1.tmp"});

    // A temporary file alone, without its hive, is not taken for one.
    std::filesystem::remove(host(hiveFile));
    writeBytes(stale, "x");
    EXPECT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_FILE_NOT_FOUND);
}

TEST_F(HiveFileTest, ReplacedFileKeepsOwnerModeAndExtendedAttributes) {
    makeHive(hiveFile);
    const std::string path = host(hiveFile);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(path.c_str(), 4321, 8765), 0);
    }
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const char attribute[] = "kept across the rename";
    const bool haveXattr = setxattr(path.c_str(), "user.tarnwick.test", attribute, sizeof(attribute), 0) == 0;
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);

    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
    ASSERT_EQ(setOwner(L"new"), ERROR_SUCCESS);
    ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);

    struct stat after;
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "the hive was not replaced by a new file";
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(after.st_uid, 4321u);
        EXPECT_EQ(after.st_gid, 8765u);
    }
    if (haveXattr) {
        char value[64] = {};
        EXPECT_EQ(getxattr(path.c_str(), "user.tarnwick.test", value, sizeof(value)),
                  static_cast<ssize_t>(sizeof(attribute)));
        EXPECT_STREQ(value, attribute);
    }
    EXPECT_EQ(hivexString(path, "Software\\App", "Owner"), "new");
}

// ---- Dirty hives, sequence numbers, times ----

const std::vector<sample::Entry> loggedChange = {sample::text("Software\\App", "Logged", "from the log"),
                                                 sample::text("Software\\Logged\\Deep", "Also", "there")};

// ---- The write path ----

TEST_F(HiveFileTest, AChangedHiveIsWrittenInPlaceOnlyThroughANewFormatLogItMayWrite) {
    namespace fs = std::filesystem;
    const std::string folder = "Users/bob/";
    const auto log = [this, folder](const char* name, const logwriter::Bytes& bytes) {
        writeBytes(host(folder + name), std::string(bytes.begin(), bytes.end()));
    };
    const auto hiveBytes = [this] {
        const std::string b = fileBytes(host(hiveFile));
        return logwriter::Bytes(b.begin(), b.end());
    };
    struct Case {
        const char* what;
        std::function<void()> setUp;
        LONG load;
        const char* logWritten;  // the log an in-place write goes through; null for a rewrite
        std::uint32_t sequence;  // what the hive is numbered once written
    };
    const Case cases[] = {
        {"no logs", [] {}, ERROR_SUCCESS, nullptr, 3},
        {"an old-format log only",
         [&] { log("NTUSER.DAT.LOG", logwriter::oldFormatLog(hiveBytes(), hiveBytes(), 1)); }, ERROR_SUCCESS,
         nullptr, 3},
        {"a new-format LOG1", [&] { addNewFormatLog(host(hiveFile), host(folder + "NTUSER.DAT.LOG1")); },
         ERROR_SUCCESS, "NTUSER.DAT.LOG1", 4},
        {"a new-format LOG2 beside an empty LOG1, in another case",
         [&] {
             log("NTUSER.DAT.LOG1", {});
             addNewFormatLog(host(hiveFile), host(folder + "ntuser.dat.log2"), false);
         },
         ERROR_SUCCESS, "ntuser.dat.log2", 4},
        {"a dirty hive: its log still holds what the file lacks",
         [&] {
             makeDirty(host(hiveFile), loggedChange, host(folder + "NTUSER.DAT.LOG1"), host(folder + "NTUSER.DAT.LOG2"));
         },
         ERROR_SUCCESS, nullptr, 4},
        {"a new-format log with a second name",
         [&] {
             addNewFormatLog(host(hiveFile), host(folder + "NTUSER.DAT.LOG1"));
             fs::create_hard_link(host(folder + "NTUSER.DAT.LOG1"), host("log-elsewhere"));
         },
         ERROR_SUCCESS, nullptr, 3},
        // Once the hive is marked dirty, a replay would apply that entry first.
        {"a log entry numbered at the hive's own sequence number",
         [&] { log("NTUSER.DAT.LOG1", logwriter::newFormatLog(hiveBytes(), 2, {logwriter::entryFor(hiveBytes(), hiveBytes(), 2)})); },
         ERROR_SUCCESS, nullptr, 3},
        {"no number left above the entry for the hive",
         [&] {
             std::string b = fileBytes(host(hiveFile));
             putDword(b, 4, 0xFFFFFFFE);
             putDword(b, 8, 0xFFFFFFFE);
             fixChecksum(b);
             writeBytes(host(hiveFile), b);
             addNewFormatLog(host(hiveFile), host(folder + "NTUSER.DAT.LOG1"));
         },
         ERROR_SUCCESS, nullptr, 0xFFFFFFFF},
        {"a hive with a second name, through its log",
         [&] {
             addNewFormatLog(host(hiveFile), host(folder + "NTUSER.DAT.LOG1"));
             fs::create_hard_link(host(hiveFile), host("hive-elsewhere"));
         },
         ERROR_SUCCESS, "NTUSER.DAT.LOG1", 4},
        // A rename would leave the other name with the old hive.
        {"a hive with a second name and no log we may write",
         [&] { fs::create_hard_link(host(hiveFile), host("hive-elsewhere")); }, ERROR_ACCESS_DENIED, nullptr, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(host("Users/bob"));
        fs::remove(host("hive-elsewhere"));
        fs::remove(host("log-elsewhere"));
        makeHive(hiveFile);
        c.setUp();
        std::map<std::string, std::string> before;
        for (const auto& entry : fs::directory_iterator(host(folder))) {
            if (entry.is_regular_file()) {
                before[entry.path().filename().string()] = fileBytes(entry.path().string());
            }
        }
        const ino_t inode = inodeOf(host(hiveFile));
        ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), c.load);
        if (c.load != ERROR_SUCCESS) {
            EXPECT_EQ(fileBytes(host(hiveFile)), before["NTUSER.DAT"]);
            continue;
        }
        ASSERT_EQ(setOwner(L"written"), ERROR_SUCCESS);
        ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
        EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "Owner"), "written");
        EXPECT_EQ(dwordOf(fileBytes(host(hiveFile)), 4), c.sequence);
        EXPECT_EQ(inodeOf(host(hiveFile)) == inode, c.logWritten != nullptr) << "written in place or replaced";
        for (const auto& [name, bytes] : before) {
            if (name != "NTUSER.DAT") {
                EXPECT_EQ(fileBytes(host(folder + name)) != bytes, c.logWritten != nullptr && name == c.logWritten)
                    << name << ": written or not";
            }
        }
        if (c.logWritten != nullptr) {
            EXPECT_EQ(inPlaceProblems(before["NTUSER.DAT"], host(hiveFile), inode), "");
        }
        if (fs::exists(host("hive-elsewhere"))) {
            EXPECT_EQ(hivexString(host("hive-elsewhere"), "Software\\App", "Owner"), "written");
        }
        EXPECT_TRUE(temporaryFiles("Users/bob").empty());
    }
}

TEST_F(HiveFileTest, ADirtyHiveIsReplayedFromItsLogsAndWrittenBackClean) {
    const struct {
        const char* what;
        const char* log1;  // where the entries go
        const char* log2;  // made empty
        bool oldFormat;
    } cases[] = {
        {"new format, in NTUSER.DAT.LOG1", "NTUSER.DAT.LOG1", "NTUSER.DAT.LOG2", false},
        {"new format, logs named in another case", "ntuser.dat.log1", "Ntuser.Dat.Log2", false},
        {"new format, the entries in LOG2 and LOG1 empty", "NTUSER.DAT.LOG2", "NTUSER.DAT.LOG1", false},
        {"old format, in NTUSER.DAT.LOG1", "NTUSER.DAT.LOG1", "NTUSER.DAT.LOG2", true},
        {"old format, in NTUSER.DAT.LOG", "NTUSER.DAT.LOG", "NTUSER.DAT.LOG1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(host("Users/bob"));
        makeHive(hiveFile);
        makeDirty(host(hiveFile), loggedChange, host("Users/bob/") + c.log1, host("Users/bob/") + c.log2, c.oldFormat);
        const std::string dirty = fileBytes(host(hiveFile));
        const std::string log1 = fileBytes(host("Users/bob/") + c.log1);
        const std::string log2 = fileBytes(host("Users/bob/") + c.log2);
        ASSERT_NE(dwordOf(dirty, 4), dwordOf(dirty, 8));

        // Loaded and left unchanged: the logged change is seen, nothing is written.
        ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
        EXPECT_EQ(loadedString(L"Software\\App", L"Logged"), L"from the log");
        EXPECT_EQ(loadedString(L"Software\\Logged\\Deep", L"Also"), L"there");
        EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
        EXPECT_EQ(fileBytes(host(hiveFile)), dirty) << "a hive that did not change was written";

        // Changed: written back replayed, with the change, and clean.
        ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
        ASSERT_EQ(setOwner(L"after the replay"), ERROR_SUCCESS);
        ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
        const std::string written = fileBytes(host(hiveFile));
        const std::vector<unsigned char> header(written.begin(), written.begin() + 4096);
        EXPECT_TRUE(hivelog::baseBlockIsClean(hivelog::ByteView(header)));
        const std::uint32_t highest = std::max({dwordOf(dirty, 4), dwordOf(dirty, 8), dwordOf(log1, 4)});
        EXPECT_EQ(dwordOf(written, 4), highest + 1);
        for (const auto& [key, name, text] : {std::tuple{"Software\\App", "Logged", "from the log"},
                                              std::tuple{"Software\\Logged\\Deep", "Also", "there"},
                                              std::tuple{"Software\\App", "Owner", "after the replay"}}) {
            EXPECT_EQ(hivexString(host(hiveFile), key, name), text) << name;
            EXPECT_EQ(regfexportString(host(hiveFile), key, name), text) << name;
        }
        EXPECT_EQ(fileBytes(host("Users/bob/") + c.log1), log1) << "a log file was written";
        EXPECT_EQ(fileBytes(host("Users/bob/") + c.log2), log2) << "a log file was written";
        EXPECT_TRUE(temporaryFiles("Users/bob").empty());
    }
}

TEST_F(HiveFileTest, ATornBaseBlockIsRestoredFromTheLog) {
    makeHive(hiveFile);
    makeDirty(host(hiveFile), loggedChange, host("Users/bob/NTUSER.DAT.LOG1"), host("Users/bob/NTUSER.DAT.LOG2"));
    std::string bytes = fileBytes(host(hiveFile));
    bytes[508] ^= 0x55;  // the base block as a write cut short leaves it
    writeBytes(host(hiveFile), bytes);
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
    EXPECT_EQ(loadedString(L"Software\\App", L"Logged"), L"from the log");
    ASSERT_EQ(setOwner(L"restored"), ERROR_SUCCESS);
    ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
    EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "Owner"), "restored");
    EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "Logged"), "from the log");
}

TEST_F(HiveFileTest, AWrittenHiveIsNumberedAboveEverySequenceNumberInItsLogs) {
    // The logs of a clean hive are never replayed, but an entry in them that
    // was never applied must not pass for the continuation of a later log.
    const std::string folder = "Users/bob/";
    struct Case {
        const char* what;
        std::function<void(const logwriter::Bytes& hive)> logs;
        std::uint32_t expected;  // the hive's own sequence number is 2
    };
    auto put = [this, folder](const char* name, const logwriter::Bytes& bytes) {
        writeBytes(host(folder + name), std::string(bytes.begin(), bytes.end()));
    };
    auto entry = [](const logwriter::Bytes& hive, std::uint32_t sequence) {
        return logwriter::entryFor(hive, hive, sequence);
    };
    const Case cases[] = {
        {"no logs", [](const logwriter::Bytes&) {}, 3},
        {"stale entries in LOG1",
         [&](const logwriter::Bytes& h) {
             put("NTUSER.DAT.LOG1", logwriter::newFormatLog(h, 40, {entry(h, 40), entry(h, 41)}));
         },
         42},
        {"a base block copy in LOG2 above the entries of LOG1",
         [&](const logwriter::Bytes& h) {
             put("NTUSER.DAT.LOG1", logwriter::newFormatLog(h, 7, {entry(h, 7)}));
             put("ntuser.dat.LOG2", logwriter::newFormatLog(h, 90, {}));
         },
         91},
        {"an old-format log",
         [&](const logwriter::Bytes& h) { put("NTUSER.DAT.LOG", logwriter::oldFormatLog(h, h, 17)); },
         18},
        {"an entry whose hash is wrong does not count",
         [&](const logwriter::Bytes& h) {
             logwriter::Bytes log = logwriter::newFormatLog(h, 3, {entry(h, 3), entry(h, 500)});
             const std::size_t second = logwriter::entryOffsets(log).at(1);
             log[second + 24] ^= 1;
             put("NTUSER.DAT.LOG1", log);
         },
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(host("Users/bob"));
        makeHive(hiveFile);
        const std::string bytes = fileBytes(host(hiveFile));
        ASSERT_EQ(dwordOf(bytes, 4), 2u);
        c.logs(logwriter::Bytes(bytes.begin(), bytes.end()));
        ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
        ASSERT_EQ(setOwner(L"numbered"), ERROR_SUCCESS);
        ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
        const std::string written = fileBytes(host(hiveFile));
        EXPECT_EQ(dwordOf(written, 4), c.expected);
        EXPECT_EQ(dwordOf(written, 8), c.expected);
        EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "Owner"), "numbered");
    }
}

TEST_F(HiveFileTest, TheFileGetsTheKeyTimesOfTheChangesAndTheTimeItWasWritten) {
    makeHive(hiveFile);
    const HivexTree before = hivexTree(host(hiveFile));
    ASSERT_FALSE(before.empty());
    // Enough new keys and values that hivex grows the hive by many bins while
    // it holds the nodes whose times are written at unload.
    const std::uint64_t start = fileTimeNow();
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
    std::vector<std::string> made = {"Software\\App\\Bulk"};
    for (int i = 0; i < 120; ++i) {
        const std::wstring key = L"Software\\App\\Bulk\\Key" + std::to_wstring(i);
        ASSERT_EQ(setString(key.c_str(), L"Filler", std::wstring(3000, L'f')), ERROR_SUCCESS);
        made.push_back("Software\\App\\Bulk\\Key" + std::to_string(i));
    }
    const std::uint64_t changed = fileTimeNow();
    ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
    const std::uint64_t end = fileTimeNow();

    const std::string written = fileBytes(host(hiveFile));
    EXPECT_GT(written.size(), 120u * 6000u);
    const HivexTree after = hivexTree(host(hiveFile));
    for (const auto& [path, key] : before) {
        SCOPED_TRACE(path);
        ASSERT_EQ(after.count(path), 1u);
        EXPECT_EQ(after.at(path).values, key.values);
        if (path == "Software\\App") {
            // The parent of the first key made.
            EXPECT_GE(static_cast<std::uint64_t>(after.at(path).lastWrite), start);
            EXPECT_LE(static_cast<std::uint64_t>(after.at(path).lastWrite), changed);
        } else {
            EXPECT_EQ(after.at(path).lastWrite, key.lastWrite);
        }
    }
    for (const std::string& path : made) {
        SCOPED_TRACE(path);
        ASSERT_EQ(after.count(path), 1u);
        EXPECT_GE(static_cast<std::uint64_t>(after.at(path).lastWrite), start);
        EXPECT_LE(static_cast<std::uint64_t>(after.at(path).lastWrite), changed);
    }
    EXPECT_EQ(after.size(), before.size() + made.size());
    // The hive's written time, in the base block and in the first bin's header.
    EXPECT_GE(qwordOf(written, 12), changed);
    EXPECT_LE(qwordOf(written, 12), end);
    EXPECT_EQ(qwordOf(written, 4096 + 20), qwordOf(written, 12));

    // A delete stamps the key it deleted from, and only that key.
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, mount, 0, KEY_WRITE, &root), ERROR_SUCCESS);
    const std::uint64_t deleting = fileTimeNow();
    EXPECT_EQ(RegDeleteKeyValueW(root, L"Control Panel\\Desktop", L"Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyValueW(root, L"Software\\App\\Bulk\\Key7", L"Filler"), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
    ASSERT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
    const HivexTree deleted = hivexTree(host(hiveFile));
    for (const auto& [path, key] : after) {
        SCOPED_TRACE(path);
        if (path == "Software\\App\\Bulk\\Key7") {
            EXPECT_GE(static_cast<std::uint64_t>(deleted.at(path).lastWrite), deleting);
            EXPECT_TRUE(deleted.at(path).values.empty());
        } else {
            EXPECT_EQ(deleted.at(path), key);
        }
    }
}

}  // namespace
