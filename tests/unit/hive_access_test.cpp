#include "hives/hive_access.h"
#include "test_support.h"

namespace {

const std::wstring sid = L"S-1-5-21-1000";
const std::wstring profile = L"C:\\Users\\alice";
const std::wstring hiveFile = L"C:\\Users\\alice\\ntuser.dat";

class HiveAccess : public TarnwickTest {
protected:
    void SetUp() override {
        TarnwickTest::SetUp();
        memplat::addHiveFile(hiveFile);
        memplat::createHiveKey(hiveFile, L"Software");
        // Loading needs the restore privilege, as after enableNeededPrivileges.
        LUID luid{};
        HANDLE token = nullptr;
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token);
        LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &luid);
        TOKEN_PRIVILEGES p{1, {{luid, SE_PRIVILEGE_ENABLED}}};
        AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr);
        CloseHandle(token);
        callsBefore_ = memplat::calls().size();
    }

    // The registry calls made since SetUp, as "Function target".
    std::vector<std::string> registryCalls() const {
        std::vector<std::string> result;
        const auto& calls = memplat::calls();
        for (std::size_t i = callsBefore_; i < calls.size(); ++i) {
            result.push_back(narrow(calls[i]));
        }
        return result;
    }

    // Runs the hive access with a callback that records each key it gets.
    void runOnce() {
        callbackRuns_ = 0;
        maybeLoadUserHiveAndCallCallback(sid.c_str(), profile.c_str(), UserHive::profile, [this](HKEY key) {
            ++callbackRuns_;
            EXPECT_EQ(RegSetKeyValueW(key, L"Software", L"Seen", REG_SZ, L"1", 2 * sizeof(wchar_t)), 0);
        });
    }

    std::size_t callsBefore_ = 0;
    int callbackRuns_ = 0;
};

TEST_F(HiveAccess, AlreadyMountedHiveIsProcessedInPlace) {
    memplat::mountHive(sid, hiveFile);
    runOnce();
    EXPECT_EQ(callbackRuns_, 1);
    EXPECT_EQ(logMessages(), std::vector<std::string>{"HKEY_USERS\\S-1-5-21-1000: processing"});
    EXPECT_TRUE(memplat::isMounted(sid));
    EXPECT_TRUE(memplat::getHiveValue(hiveFile, L"Software", L"Seen").has_value());
    EXPECT_TRUE(memplat::callTargets("RegLoadKeyW").empty());
    EXPECT_TRUE(memplat::callTargets("RegUnLoadKeyW").empty());
    EXPECT_EQ(memplat::openKeyCount(), 0);
}

TEST_F(HiveAccess, UnmountedHiveIsLoadedProcessedClosedAndUnloadedInThatOrder) {
    runOnce();
    EXPECT_EQ(callbackRuns_, 1);
    const std::vector<std::string> lines = {
        R"(HKEY_USERS\S-1-5-21-1000: loading "C:\\Users\\alice\\ntuser.dat")",
        "HKEY_USERS\\S-1-5-21-1000: processing",
        "HKEY_USERS\\S-1-5-21-1000: unloading",
    };
    EXPECT_EQ(logMessages(), lines);
    const std::vector<std::string> calls = {
        "RegOpenKeyExW HKEY_USERS\\S-1-5-21-1000",
        "RegLoadKeyW HKEY_USERS\\S-1-5-21-1000 C:\\Users\\alice\\ntuser.dat",
        "RegOpenKeyExW HKEY_USERS\\S-1-5-21-1000",
        "RegSetKeyValueW HKEY_USERS\\S-1-5-21-1000\\Software Seen",
        "RegCloseKey HKEY_USERS\\S-1-5-21-1000",
        "RegUnLoadKeyW HKEY_USERS\\S-1-5-21-1000",
    };
    EXPECT_EQ(registryCalls(), calls);
    EXPECT_FALSE(memplat::isMounted(sid));
    EXPECT_TRUE(memplat::getHiveValue(hiveFile, L"Software", L"Seen").has_value());
}

struct FailureCase {
    const char* name;
    std::string function;
    LONG status;
    int occurrence;
    std::vector<std::string> lines;
    int callbackRuns;
    bool unloadTried;
    bool mountedAfter;
};

TEST_F(HiveAccess, EachFailingCallEndsTheWorkOnThatProfileOnly) {
    const std::string loading = R"(HKEY_USERS\S-1-5-21-1000: loading "C:\\Users\\alice\\ntuser.dat")";
    const FailureCase cases[] = {
        {"first open denied",
         "RegOpenKeyExW",
         5,
         1,
         {"maybeLoadUserHiveAndCallCallback: openLoadedKeyAndCallCallback() failed for HKEY_USERS\\S-1-5-21-1000 "
          "with an error different than 'not found', error = 5"},
         0,
         false,
         false},
        {"load fails",
         "RegLoadKeyW",
         32,
         1,
         {loading, "maybeLoadUserHiveAndCallCallback: RegLoadKeyW() failed for HKEY_USERS\\S-1-5-21-1000, file path "
                   "= '\"C:\\\\Users\\\\alice\\\\ntuser.dat\"', error = 32"},
         0,
         false,
         false},
        {"open after load fails",
         "RegOpenKeyExW",
         5,
         2,
         {loading,
          "maybeLoadUserHiveAndCallCallback: openLoadedKeyAndCallCallback() failed for HKEY_USERS\\S-1-5-21-1000 "
          "after loading it, error = 5",
          "HKEY_USERS\\S-1-5-21-1000: unloading"},
         0,
         true,
         false},
        {"unload fails",
         "RegUnLoadKeyW",
         5,
         1,
         {loading, "HKEY_USERS\\S-1-5-21-1000: processing", "HKEY_USERS\\S-1-5-21-1000: unloading",
          "maybeLoadUserHiveAndCallCallback: RegUnLoadKeyW() failed for HKEY_USERS\\S-1-5-21-1000, error = 5"},
         1,
         true,
         true},
        {"close fails",
         "RegCloseKey",
         6,
         1,
         {loading, "HKEY_USERS\\S-1-5-21-1000: processing",
          "openLoadedKeyAndCallCallback: RegCloseKey() failed, error = 6", "HKEY_USERS\\S-1-5-21-1000: unloading"},
         1,
         true,
         false},
    };
    for (const FailureCase& c : cases) {
        SetUp();
        memplat::failCall(c.function, c.status, c.occurrence);
        runOnce();
        EXPECT_EQ(logMessages(), c.lines) << c.name;
        EXPECT_EQ(callbackRuns_, c.callbackRuns) << c.name;
        EXPECT_EQ(!memplat::callTargets("RegUnLoadKeyW").empty(), c.unloadTried) << c.name;
        EXPECT_EQ(memplat::isMounted(sid), c.mountedAfter) << c.name;
        EXPECT_EQ(memplat::openKeyCount(), 0) << c.name;
        TearDown();
    }
}

TEST_F(HiveAccess, MissingHiveFileIsNotCreated) {
    const std::wstring missingProfile = L"C:\\Users\\nobody";
    maybeLoadUserHiveAndCallCallback(sid.c_str(), missingProfile.c_str(), UserHive::profile,
                                     [](HKEY) { ADD_FAILURE(); });
    const std::vector<std::string> lines = {
        R"(HKEY_USERS\S-1-5-21-1000: loading "C:\\Users\\nobody\\ntuser.dat")",
        R"(maybeLoadUserHiveAndCallCallback: RegLoadKeyW() failed for HKEY_USERS\S-1-5-21-1000, file path = '"C:\\Users\\nobody\\ntuser.dat"', error = 2)",
    };
    EXPECT_EQ(logMessages(), lines);
    EXPECT_FALSE(memplat::isMounted(sid));
    EXPECT_TRUE(memplat::callTargets("RegUnLoadKeyW").empty());
}

TEST_F(HiveAccess, ClassesHiveIsFoundUnderItsOwnNameAndLoadedFromUsrClassDat) {
    const std::wstring classesFile = L"C:\\Users\\alice\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
    const std::wstring classesMount = sid + L"_Classes";
    const std::string loading =
        R"(HKEY_USERS\S-1-5-21-1000_Classes: loading "C:\\Users\\alice\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat")";
    const struct {
        const char* name;
        bool fileExists;
        bool mounted;
        std::vector<std::string> lines;
        std::vector<std::string> loads;
    } cases[] = {
        {"logged on: changed in place", true, true, {"HKEY_USERS\\S-1-5-21-1000_Classes: processing"}, {}},
        {"logged off: loaded and unloaded",
         true,
         false,
         {loading, "HKEY_USERS\\S-1-5-21-1000_Classes: processing", "HKEY_USERS\\S-1-5-21-1000_Classes: unloading"},
         {narrow(L"HKEY_USERS\\" + classesMount + L" " + classesFile)}},
        {"no UsrClass.dat",
         false,
         false,
         {loading,
          "maybeLoadUserHiveAndCallCallback: RegLoadKeyW() failed for HKEY_USERS\\S-1-5-21-1000_Classes, file path = "
          "'\"C:\\\\Users\\\\alice\\\\AppData\\\\Local\\\\Microsoft\\\\Windows\\\\UsrClass.dat\"', error = 2"},
         {narrow(L"HKEY_USERS\\" + classesMount + L" " + classesFile)}},
    };
    for (const auto& c : cases) {
        SetUp();
        if (c.fileExists) {
            memplat::addHiveFile(classesFile);
        }
        if (c.mounted) {
            memplat::mountHive(sid, hiveFile);
            memplat::mountHive(classesMount, classesFile);
        }
        callbackRuns_ = 0;
        maybeLoadUserHiveAndCallCallback(sid.c_str(), profile.c_str(), UserHive::classes, [this](HKEY key) {
            ++callbackRuns_;
            EXPECT_EQ(RegSetKeyValueW(key, L".abc", L"Seen", REG_SZ, L"1", 2 * sizeof(wchar_t)), 0);
        });
        EXPECT_EQ(logMessages(), c.lines) << c.name;
        EXPECT_EQ(callbackRuns_, c.fileExists ? 1 : 0) << c.name;
        std::vector<std::string> loads;
        for (const std::wstring& target : memplat::callTargets("RegLoadKeyW")) {
            loads.push_back(narrow(target));
        }
        EXPECT_EQ(loads, c.loads) << c.name;
        EXPECT_EQ(memplat::getHiveValue(classesFile, L".abc", L"Seen").has_value(), c.fileExists) << c.name;
        // ntuser.dat is neither loaded nor written.
        EXPECT_FALSE(memplat::getHiveValue(hiveFile, L".abc", L"Seen").has_value()) << c.name;
        EXPECT_EQ(memplat::isMounted(classesMount), c.mounted) << c.name;
        EXPECT_EQ(memplat::isMounted(sid), c.mounted) << c.name;
        EXPECT_EQ(memplat::openKeyCount(), 0) << c.name;
        TearDown();
    }
}

TEST_F(HiveAccess, OpenLoadedKeyReturnsTheOpenStatusSilently) {
    EXPECT_EQ(openLoadedKeyAndCallCallback(L"S-1-5-21-404", [](HKEY) { ADD_FAILURE(); }), ERROR_FILE_NOT_FOUND);
    memplat::mountHive(sid, hiveFile);
    memplat::failCall("RegOpenKeyExW", ERROR_ACCESS_DENIED, 1, L"HKEY_USERS\\" + sid);
    EXPECT_EQ(openLoadedKeyAndCallCallback(sid.c_str(), [](HKEY) { ADD_FAILURE(); }), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(logMessages().empty());
}

TEST(JoinHiveFilePath, AppendsOneElementByThePathRules) {
    const wchar_t* const classes = L"AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
    const struct {
        std::wstring directory;
        UserHive hive;
        std::wstring path;
    } cases[] = {
        {L"C:\\Users\\a", UserHive::profile, L"C:\\Users\\a\\ntuser.dat"},
        {L"C:\\Users\\a\\", UserHive::profile, L"C:\\Users\\a\\ntuser.dat"},
        {L"C:/Users/a/", UserHive::profile, L"C:/Users/a/ntuser.dat"},
        {L"C:/Users/a", UserHive::profile, L"C:/Users/a\\ntuser.dat"},
        {L"", UserHive::profile, L"ntuser.dat"},
        {L"D:", UserHive::profile, L"D:ntuser.dat"},
        {L"1:", UserHive::profile, L"1:\\ntuser.dat"},
        {L"\\\\server\\share\\u", UserHive::profile, L"\\\\server\\share\\u\\ntuser.dat"},
        // The classes hive's path is joined by the same rules, unchanged.
        {L"C:\\Users\\a", UserHive::classes, L"C:\\Users\\a\\" + std::wstring(classes)},
        {L"C:\\Users\\a\\", UserHive::classes, L"C:\\Users\\a\\" + std::wstring(classes)},
        {L"", UserHive::classes, classes},
        {L"D:", UserHive::classes, L"D:" + std::wstring(classes)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(joinHiveFilePath(c.directory, c.hive), c.path) << narrow(c.directory);
    }
}

}  // namespace
