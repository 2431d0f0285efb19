// The Windows log file behind the seam, under Wine: what the handle says about
// new, earlier, hard-linked, foreign-owned and linked logs, and what the log
// then writes. Each test gets a temporary folder of its own through TMP.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "log/log.h"
#include "log/log_file.h"
#include "platform/winapi.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

namespace fs = std::filesystem;

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Enables a privilege of this process's token; setting another account as a
// file's owner needs SeRestorePrivilege on Windows.
void enablePrivilege(const wchar_t* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

// Makes the account with this SID the file's owner; the Windows status.
DWORD setOwner(const fs::path& path, const wchar_t* sidText) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(sidText, &sid)) {
        return GetLastError();
    }
    std::wstring name = path.wstring();
    const DWORD status = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, sid,
                                               nullptr, nullptr, nullptr);
    LocalFree(sid);
    return status;
}

class WindowsLogFile : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        // The prefix's own temporary folder, before any test points TMP elsewhere.
        static const fs::path base = fs::temp_directory_path();
        dir_ = base /
               (L"tarnwick-log-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter));
        fs::create_directories(dir_);
        // GetTempPathW reads TMP first, at every call.
        SetEnvironmentVariableW(L"TMP", (dir_.wstring() + L"\\").c_str());
        resetLogForTests();
        log_ = dir_ / L"tarnwick.log";
    }
    void TearDown() override {
        resetLogForTests();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // What the platform learns about the log from an open handle.
    LogFileFacts factsOfLog() {
        LogFileFacts facts;
        closeLogFile(openLogFile(log_, facts));
        return facts;
    }

    fs::path dir_;
    fs::path log_;
};

TEST_F(WindowsLogFile, ANewLogIsCreatedAndBelongsToTheRunningAccount) {
    logLine() << L"first \x00e9\n";
    const std::string bytes = fileBytes(log_);
    ASSERT_EQ(bytes.size(), 26u + 9u) << bytes;
    EXPECT_EQ(bytes.substr(26), "first \xe9\r\n");
    const LogFileFacts facts = factsOfLog();
    EXPECT_TRUE(facts.known);
    EXPECT_FALSE(facts.link);
    EXPECT_TRUE(facts.regularFile);
    EXPECT_EQ(facts.names, 1u);
    EXPECT_TRUE(facts.owner == LogFileOwner::runningAccount || facts.owner == LogFileOwner::administrators)
        << "owner " << facts.ownerText;
}

TEST_F(WindowsLogFile, AnEarlierLogIsAppendedToAndTheRunAppendsAtTheEnd) {
    writeFile(log_, "earlier\r\n");
    logLine() << L"one\n";
    // Another writer between two lines: the next line still goes to the end.
    {
        std::ofstream other(log_, std::ios::binary | std::ios::app);
        other << "other\r\n";
    }
    logLine() << L"two\n";
    const std::string bytes = fileBytes(log_);
    ASSERT_EQ(bytes.size(), 9u + 26u + 5u + 7u + 26u + 5u) << bytes;
    EXPECT_EQ(bytes.substr(0, 9), "earlier\r\n");
    EXPECT_EQ(bytes.substr(9 + 26, 5), "one\r\n");
    EXPECT_EQ(bytes.substr(9 + 26 + 5, 7), "other\r\n");
    EXPECT_EQ(bytes.substr(9 + 26 + 5 + 7 + 26), "two\r\n");
}

TEST_F(WindowsLogFile, AHardLinkIsRefused) {
    const fs::path other = dir_ / L"other.txt";
    writeFile(other, "another file\r\n");
    ASSERT_TRUE(CreateHardLinkW(log_.c_str(), other.c_str(), nullptr)) << GetLastError();
    EXPECT_EQ(factsOfLog().names, 2u);
    logLine() << L"must not arrive\n";
    EXPECT_EQ(fileBytes(other), "another file\r\n");
}

TEST_F(WindowsLogFile, AFolderInTheLogsPlaceLeavesTheRunWithoutALog) {
    ASSERT_TRUE(CreateDirectoryW(log_.c_str(), nullptr));
    logLine() << L"nowhere\n";
    EXPECT_TRUE(fs::is_directory(log_));
    EXPECT_TRUE(fs::is_empty(log_));
}

TEST_F(WindowsLogFile, OwnersOtherThanTheRunningAccountSystemOrAdministratorsAreRefused) {
    enablePrivilege(L"SeRestorePrivilege");
    struct Case {
        const wchar_t* owner;
        LogFileOwner kind;
        bool appended;
    };
    const Case cases[] = {
        {L"S-1-5-18", LogFileOwner::system, true},
        {L"S-1-5-32-544", LogFileOwner::administrators, true},
        {L"S-1-5-32-545", LogFileOwner::other, false},           // Users
        {L"S-1-5-21-1-2-3-1001", LogFileOwner::other, false},    // another local account
        {L"S-1-1-0", LogFileOwner::other, false},                // Everyone
    };
    for (const Case& c : cases) {
        SetUp();
        std::string owner(c.owner, c.owner + wcslen(c.owner));
        SCOPED_TRACE(owner);
        writeFile(log_, "planted\r\n");
        ASSERT_EQ(setOwner(log_, c.owner), static_cast<DWORD>(ERROR_SUCCESS));
        const LogFileFacts facts = factsOfLog();
        if (facts.ownerText != owner) {
            // Measured under Wine 8: the owner is always derived from the Unix
            // owner of the file. tests/wine/log_e2e.py plants logs owned by
            // another Unix user instead.
            GTEST_SKIP() << "the owner set is not the owner read back (" << facts.ownerText
                         << "): this platform does not keep a file's owner";
        }
        EXPECT_EQ(static_cast<int>(facts.owner), static_cast<int>(c.kind));
        logLine() << L"line\n";
        const std::string bytes = fileBytes(log_);
        if (c.appended) {
            EXPECT_EQ(bytes.size(), 9u + 26u + 6u) << bytes;
        } else {
            EXPECT_EQ(bytes, "planted\r\n");
        }
        TearDown();
    }
}

TEST_F(WindowsLogFile, ASymbolicLinkIsOpenedItselfAndRefused) {
    const fs::path target = dir_ / L"target.txt";
    writeFile(target, "target\r\n");
    if (!CreateSymbolicLinkW(log_.c_str(), target.c_str(), 0)) {
        GTEST_SKIP() << "this Windows cannot make a symbolic link here: error " << GetLastError();
    }
    const LogFileFacts facts = factsOfLog();
    if (!facts.link && facts.regularFile) {
        // Measured under Wine 8: a symbolic link is followed even with
        // FILE_FLAG_OPEN_REPARSE_POINT, and no reparse attribute is reported.
        GTEST_SKIP() << "this platform opened the link's target: it cannot show the reparse point check";
    }
    EXPECT_TRUE(facts.link);
    logLine() << L"must not arrive\n";
    EXPECT_EQ(fileBytes(target), "target\r\n");
}

}  // namespace
