// Windows paths on C: mapped to the mounted volume: case-insensitive as NTFS,
// and never leading off it.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "offline_test_support.h"

namespace {

using VolumePathsTest = OfflineTest;

TEST_F(VolumePathsTest, LoadResolvesPathsAsWindowsWouldAndRefusesEscapes) {
    makeHive("Users/alice/NTUSER.DAT");
    // Something outside the volume that an escape would reach.
    const std::string outside = drive_ + "-outside";
    std::filesystem::create_directories(outside);
    std::filesystem::copy_file(host("Users/alice/NTUSER.DAT"), outside + "/NTUSER.DAT",
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(symlink(outside.c_str(), host("Users/absolute").c_str()), 0);
    ASSERT_EQ(symlink("../../..", host("Users/alice/up").c_str()), 0);
    ASSERT_EQ(symlink("alice", host("Users/alias").c_str()), 0);
    ASSERT_EQ(symlink("NTUSER.DAT", host("Users/alice/linked.dat").c_str()), 0);
    std::filesystem::copy_file(host("Users/alice/NTUSER.DAT"), host("Users/alice/other.dat"));
    ASSERT_EQ(link(host("Users/alice/other.dat").c_str(), host("Users/alice/hard.dat").c_str()), 0);
    std::filesystem::create_directories(host("Users/empty"));

    struct Case {
        const wchar_t* path;
        LONG expected;
    };
    const Case cases[] = {
        {L"C:\\Users\\alice\\NTUSER.DAT", ERROR_SUCCESS},
        {L"c:\\USERS\\Alice\\ntuser.dat", ERROR_SUCCESS},
        {L"C:/users/ALICE/NtUser.Dat", ERROR_SUCCESS},
        {L"C:\\Users\\alias\\ntuser.dat", ERROR_SUCCESS},  // a link that stays on the volume
        {L"D:\\Users\\alice\\NTUSER.DAT", ERROR_PATH_NOT_FOUND},
        {L"Users\\alice\\NTUSER.DAT", ERROR_PATH_NOT_FOUND},
        {L"C:\\Users\\nobody\\NTUSER.DAT", ERROR_PATH_NOT_FOUND},
        {L"C:\\Users\\empty\\NTUSER.DAT", ERROR_FILE_NOT_FOUND},
        {L"C:\\Users\\..\\..\\alice\\NTUSER.DAT", ERROR_ACCESS_DENIED},
        {L"C:\\Users\\alice\\..\\alice\\NTUSER.DAT", ERROR_ACCESS_DENIED},
        {L"C:\\Users\\absolute\\NTUSER.DAT", ERROR_ACCESS_DENIED},
        {L"C:\\Users\\alice\\up\\x\\NTUSER.DAT", ERROR_ACCESS_DENIED},
        {L"C:\\Users\\alice\\linked.dat", ERROR_ACCESS_DENIED},
        {L"C:\\Users\\alice\\hard.dat", ERROR_ACCESS_DENIED},
        {L"C:\\Users\\alice", ERROR_ACCESS_DENIED},  // a folder is no hive
    };
    const std::string outsideBefore = fileBytes(outside + "/NTUSER.DAT");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + std::wcslen(c.path)));
        EXPECT_EQ(RegLoadKeyW(HKEY_USERS, L"probe", c.path), c.expected);
        if (c.expected == ERROR_SUCCESS) {
            EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, L"probe"), ERROR_SUCCESS);
        }
    }
    EXPECT_EQ(fileBytes(outside + "/NTUSER.DAT"), outsideBefore);
    std::filesystem::remove_all(outside);
}

TEST_F(VolumePathsTest, MissingFileIsNotCreated) {
    std::filesystem::create_directories(host("Users/carol"));
    EXPECT_EQ(RegLoadKeyW(HKEY_USERS, L"probe", L"C:\\Users\\Carol\\NTUSER.DAT"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(std::filesystem::is_empty(host("Users/carol")));
}

}  // namespace
