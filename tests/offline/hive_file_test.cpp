// Loading and writing back hive files: what is not a sound, clean hive is
// never loaded, a hive another run holds is not shared, and the replaced file
// keeps its owner, mode and attributes.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "offline_test_support.h"
#include "platform/offline/hive_file.h"

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
    putDword(bytes, 508, offline::baseBlockChecksum(reinterpret_cast<const unsigned char*>(bytes.data())));
}

LONG setOwner(const std::wstring& text) {
    HKEY root = nullptr;
    LONG status = RegOpenKeyExW(HKEY_USERS, mount, 0, KEY_WRITE, &root);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    status = RegSetKeyValueW(root, L"Software\\App", L"Owner", REG_SZ, text.c_str(),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(root);
    return status;
}

using HiveFileTest = OfflineTest;

TEST_F(HiveFileTest, UntrustworthyFilesFailTheLoadAndStayUntouched) {
    struct Case {
        const char* what;
        std::function<void(std::string&)> spoil;
        LONG expected;
    };
    const Case cases[] = {
        {"sequence numbers differ (logs pending)",
         [](std::string& b) { putDword(b, 8, 7); fixChecksum(b); }, ERROR_NOT_SUPPORTED},
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

}  // namespace
