#include "hives/profiles.h"
#include "test_support.h"

namespace {

const std::wstring profileList = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

class EnumAllUserRegHives : public TarnwickTest {
protected:
    // A profile with its hive file (unless missing) holding one key.
    void addProfile(const std::wstring& sid, const std::wstring& imagePath, DWORD type = REG_EXPAND_SZ,
                    const std::wstring& hivePath = L"") {
        memplat::setString(HKEY_LOCAL_MACHINE, profileList + L"\\" + sid, L"ProfileImagePath", imagePath, type);
        if (!hivePath.empty()) {
            memplat::addHiveFile(hivePath);
            memplat::createHiveKey(hivePath, L"Software");
        }
    }

    bool walk(bool includeDefault) {
        visited_.clear();
        return enumAllUserRegHives(includeDefault, UserHive::profile, [this](HKEY key) {
            visited_.push_back(key);
            RegSetKeyValueW(key, L"Software", L"Seen", REG_SZ, L"", sizeof(wchar_t));
        });
    }

    std::vector<HKEY> visited_;
};

TEST_F(EnumAllUserRegHives, WalksFullProfilesInOrderThenTheDefaultProfile) {
    addProfile(L"S-1-5-18", L"%systemroot%\\system32\\config\\systemprofile");
    addProfile(L"S-1-5-21-1-2-3-1001", L"%SystemDrive%\\Users\\bob", REG_EXPAND_SZ, L"C:\\Users\\bob\\NTUSER.DAT");
    addProfile(L"S-1-5-21-1-2-3-1000", L"C:\\Users\\alice", REG_SZ, L"C:\\Users\\alice\\ntuser.dat");
    addProfile(L"S-1-5-21-1", L"%SystemDrive%\\Users\\short", REG_SZ, L"C:\\Users\\short\\ntuser.dat");
    addProfile(L"S-1-5-2-1", L"C:\\Users\\nine");
    memplat::setString(HKEY_LOCAL_MACHINE, profileList, L"Default", L"%SystemDrive%\\Users\\Default", REG_EXPAND_SZ);
    memplat::addHiveFile(L"C:\\Users\\Default\\NTUSER.DAT");

    EXPECT_TRUE(walk(true));
    const std::vector<std::string> lines = {
        "Skipping SID 'S-1-5-18', not a full profile",
        "Skipping SID 'S-1-5-2-1', not a full profile",
        R"(HKEY_USERS\S-1-5-21-1: loading "C:\\Users\\short\\ntuser.dat")",
        "HKEY_USERS\\S-1-5-21-1: processing",
        "HKEY_USERS\\S-1-5-21-1: unloading",
        R"(HKEY_USERS\S-1-5-21-1-2-3-1000: loading "C:\\Users\\alice\\ntuser.dat")",
        "HKEY_USERS\\S-1-5-21-1-2-3-1000: processing",
        "HKEY_USERS\\S-1-5-21-1-2-3-1000: unloading",
        R"(HKEY_USERS\S-1-5-21-1-2-3-1001: loading "C:\\Users\\bob\\ntuser.dat")",
        "HKEY_USERS\\S-1-5-21-1-2-3-1001: processing",
        "HKEY_USERS\\S-1-5-21-1-2-3-1001: unloading",
        R"(HKEY_USERS\tarnwick-default-profile: loading "C:\\Users\\Default\\ntuser.dat")",
        "HKEY_USERS\\tarnwick-default-profile: processing",
        "HKEY_USERS\\tarnwick-default-profile: unloading",
    };
    EXPECT_EQ(logMessages(), lines);
    EXPECT_EQ(visited_.size(), 4u);
    for (const wchar_t* file : {L"C:\\Users\\short\\ntuser.dat", L"C:\\Users\\alice\\ntuser.dat",
                                L"C:\\Users\\bob\\ntuser.dat", L"C:\\Users\\Default\\ntuser.dat"}) {
        EXPECT_TRUE(memplat::getHiveValue(file, L"Software", L"Seen").has_value()) << narrow(file);
    }
    EXPECT_EQ(memplat::openKeyCount(), 0);
    // The profile list stays open while the hives are loaded and unloaded.
    const auto& calls = memplat::calls();
    EXPECT_EQ(narrow(calls.back()), "RegCloseKey HKEY_LOCAL_MACHINE\\" + narrow(profileList));
}

TEST_F(EnumAllUserRegHives, WithoutTheFlagDefaultIsNeverRead) {
    memplat::createKey(HKEY_LOCAL_MACHINE, profileList);
    memplat::setString(HKEY_LOCAL_MACHINE, profileList, L"Default", L"C:\\Users\\Default");
    EXPECT_TRUE(walk(false));
    EXPECT_TRUE(logMessages().empty());
    EXPECT_TRUE(memplat::callTargets("RegGetValueW").empty());
}

TEST_F(EnumAllUserRegHives, UnreadableValuesSkipTheProfileAndTheWalkGoesOn) {
    addProfile(L"S-1-5-21-0-0-0-1", L"x");
    memplat::setValue(HKEY_LOCAL_MACHINE, profileList + L"\\S-1-5-21-0-0-0-2", L"ProfileImagePath", REG_DWORD,
                      {1, 0, 0, 0});
    memplat::createKey(HKEY_LOCAL_MACHINE, profileList + L"\\S-1-5-21-0-0-0-3");
    addProfile(L"S-1-5-21-0-0-0-4", std::wstring(2600, L'a'));  // 5202 bytes with its terminator
    memplat::setEnvironment(L"Long", std::wstring(5200, L'b'));
    addProfile(L"S-1-5-21-0-0-0-5", L"%Long%");  // expands to 5201 characters with the terminator
    addProfile(L"S-1-5-21-0-0-0-6", L"%SystemDrive%" + std::wstring(2586, L'c'));  // expands to 5200 characters
    memplat::failCall("ExpandEnvironmentStringsW", 8, 1, L"x");

    EXPECT_TRUE(walk(true));
    const std::vector<std::string> lines = {
        "readStringOrExpandStringValue: ExpandEnvironmentStringsW() failed for string 'x', error = 8",
        "enumAllUserRegHives: skipping SID 'S-1-5-21-0-0-0-1', failed to read the profile image path",
        "readStringOrExpandStringValue: RegGetValueW() failed for subkey 'S-1-5-21-0-0-0-2' and value "
        "'ProfileImagePath', error = 1630",
        "enumAllUserRegHives: skipping SID 'S-1-5-21-0-0-0-2', failed to read the profile image path",
        "readStringOrExpandStringValue: RegGetValueW() failed for subkey 'S-1-5-21-0-0-0-3' and value "
        "'ProfileImagePath', error = 2",
        "enumAllUserRegHives: skipping SID 'S-1-5-21-0-0-0-3', failed to read the profile image path",
        "readStringOrExpandStringValue: RegGetValueW() failed for subkey 'S-1-5-21-0-0-0-4' and value "
        "'ProfileImagePath', error = 234",
        "enumAllUserRegHives: skipping SID 'S-1-5-21-0-0-0-4', failed to read the profile image path",
        "readStringOrExpandStringValue: ExpandEnvironmentStringsW() failed for string '%Long%', error = 122",
        "enumAllUserRegHives: skipping SID 'S-1-5-21-0-0-0-5', failed to read the profile image path",
        "HKEY_USERS\\S-1-5-21-0-0-0-6: loading \"C:" + std::string(2586, 'c') + "\\\\ntuser.dat\"",
        "maybeLoadUserHiveAndCallCallback: RegLoadKeyW() failed for HKEY_USERS\\S-1-5-21-0-0-0-6, file path = "
        "'\"C:" + std::string(2586, 'c') + "\\\\ntuser.dat\"', error = 2",
        "readStringOrExpandStringValue: RegGetValueW() failed for subkey '' and value 'Default', error = 2",
        "enumAllUserRegHives: could not read path to the default profile",
    };
    EXPECT_EQ(logMessages(), lines);
}

TEST_F(EnumAllUserRegHives, WalkThatCannotStartReturnsFalse) {
    struct Case {
        const char* name;
        std::string function;
        LONG status;
        std::vector<std::wstring> held;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"no restore privilege",
         "",
         0,
         {L"SeBackupPrivilege"},
         {"enablePrivilege: AdjustTokenPrivileges() failed to adjust privilege 'SeRestorePrivilege', error = 1300",
          "enableNeededPrivileges: Failed to enable required privilege 'SeRestorePrivilege'",
          "enumAllUserRegHives: Failed to enable needed privileges"}},
        {"profile list does not open",
         "RegOpenKeyExW",
         5,
         {L"SeBackupPrivilege", L"SeRestorePrivilege"},
         {"enumAllUserRegHives: RegOpenKeyExW() failed for HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows "
          "NT\\CurrentVersion\\ProfileList, error = 5"}},
    };
    for (const Case& c : cases) {
        SetUp();
        memplat::setHeldPrivileges(c.held);
        addProfile(L"S-1-5-21-0-0-0-1", L"C:\\Users\\a", REG_SZ, L"C:\\Users\\a\\ntuser.dat");
        memplat::setString(HKEY_LOCAL_MACHINE, profileList, L"Default", L"C:\\Users\\a");
        if (!c.function.empty()) {
            memplat::failCall(c.function, c.status);
        }
        EXPECT_FALSE(walk(true)) << c.name;
        EXPECT_EQ(logMessages(), c.lines) << c.name;
        EXPECT_TRUE(visited_.empty()) << c.name;
        EXPECT_TRUE(memplat::callTargets("RegLoadKeyW").empty()) << c.name;
        TearDown();
    }

    SetUp();
    EXPECT_FALSE(enumAllUserRegHives(true, UserHive::profile, HiveCallback()));
    EXPECT_EQ(logMessages(), std::vector<std::string>{"enumAllUserRegHives: callback not specified"});
    EXPECT_TRUE(memplat::calls().empty());
}

TEST_F(EnumAllUserRegHives, EnumerationErrorStopsTheListButNotTheDefaultProfile) {
    for (int i = 0; i < 5; ++i) {
        const std::wstring user = L"u" + std::to_wstring(i);
        addProfile(L"S-1-5-21-0-0-0-10" + std::to_wstring(i), L"C:\\Users\\" + user, REG_SZ,
                   L"C:\\Users\\" + user + L"\\ntuser.dat");
    }
    memplat::setString(HKEY_LOCAL_MACHINE, profileList, L"Default", L"C:\\Users\\u4");
    memplat::failCall("RegEnumKeyExW", 1018, 4);
    memplat::failCall("RegCloseKey", 6, 0, L"HKEY_LOCAL_MACHINE\\" + profileList);

    EXPECT_TRUE(walk(true));
    const std::vector<std::string> lines = logMessages();
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[8], "HKEY_USERS\\S-1-5-21-0-0-0-102: unloading");
    EXPECT_EQ(lines[9], "enumAllUserRegHives: RegEnumKeyExW() failed for index 3, error = 1018");
    EXPECT_EQ(lines[10], R"(HKEY_USERS\tarnwick-default-profile: loading "C:\\Users\\u4\\ntuser.dat")");
    EXPECT_EQ(lines[13], "enumAllUserRegHives: RegCloseKey() failed for the profile list key, error = 6");
    EXPECT_EQ(visited_.size(), 4u);
}

TEST_F(EnumAllUserRegHives, EmptyListStillProcessesTheDefaultProfile) {
    memplat::createKey(HKEY_LOCAL_MACHINE, profileList);
    memplat::setString(HKEY_LOCAL_MACHINE, profileList, L"Default", L"C:\\Users\\Default\\");
    memplat::addHiveFile(L"C:\\Users\\Default\\ntuser.dat");
    memplat::mountHive(L"tarnwick-default-profile", L"C:\\Users\\Default\\ntuser.dat");
    EXPECT_TRUE(walk(true));
    // Left mounted by someone else: processed in place, neither loaded nor unloaded.
    EXPECT_EQ(logMessages(), std::vector<std::string>{"HKEY_USERS\\tarnwick-default-profile: processing"});
    EXPECT_TRUE(memplat::isMounted(L"tarnwick-default-profile"));
}

}  // namespace
