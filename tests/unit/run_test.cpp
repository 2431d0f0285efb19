#include "app/run.h"
#include "test_support.h"

namespace {

const std::wstring profileList = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

class Run : public TarnwickTest {
protected:
    void SetUp() override {
        TarnwickTest::SetUp();
        memplat::setString(HKEY_LOCAL_MACHINE, profileList + L"\\S-1-5-21-0-0-0-1000", L"ProfileImagePath",
                           L"C:\\users\\me");
        memplat::addHiveFile(L"C:\\users\\me\\ntuser.dat");
        memplat::setHiveString(L"C:\\users\\me\\ntuser.dat", L"Software\\App", L"Name", L"before");
        memplat::mountHive(L"S-1-5-21-0-0-0-1000", L"C:\\users\\me\\ntuser.dat");
        memplat::setString(HKEY_LOCAL_MACHINE, profileList + L"\\S-1-5-21-0-0-0-1001", L"ProfileImagePath",
                           L"%SystemDrive%\\users\\off", REG_EXPAND_SZ);
        memplat::addHiveFile(L"C:\\users\\off\\ntuser.dat");
    }
    std::optional<std::wstring> value(const wchar_t* file) {
        auto v = memplat::getHiveValue(file, L"Software\\App", L"Name");
        if (!v) {
            return std::nullopt;
        }
        return std::wstring(reinterpret_cast<const wchar_t*>(v->data.data()));
    }
};

TEST_F(Run, SetInEveryProfileLogsTheWholeRunAndExitsZero) {
    EXPECT_EQ(runTarnwick(L"/set /k Software\\App /vn Name /vstr \"new value\""), 0);
    const std::vector<std::string> expected = {
        "Started with command line: /set /k Software\\App /vn Name /vstr \"new value\"",
        "Parsed args:",
        "     includeDefaultProfile: false",
        "                 operation: setValue",
        "                    subKey: Software\\App",
        "                 valueName: Name",
        "                   valueSZ: new value",
        "HKEY_USERS\\S-1-5-21-0-0-0-1000: processing",
        R"(HKEY_USERS\S-1-5-21-0-0-0-1001: loading "C:\\users\\off\\ntuser.dat")",
        "HKEY_USERS\\S-1-5-21-0-0-0-1001: processing",
        "HKEY_USERS\\S-1-5-21-0-0-0-1001: unloading",
        "Exiting",
    };
    EXPECT_EQ(logMessages(), expected);
    EXPECT_EQ(value(L"C:\\users\\me\\ntuser.dat"), L"new value");
    EXPECT_EQ(value(L"C:\\users\\off\\ntuser.dat"), L"new value");
    EXPECT_TRUE(memplat::isMounted(L"S-1-5-21-0-0-0-1000"));
    EXPECT_FALSE(memplat::isMounted(L"S-1-5-21-0-0-0-1001"));
}

TEST_F(Run, ExitCodeDependsOnTheWalkAlone) {
    struct Case {
        const wchar_t* text;
        std::vector<std::wstring> held;
        int exitCode;
        std::vector<std::string> tail;
    };
    const Case cases[] = {
        // Nothing to do in any hive: still 0.
        {L"", {L"SeRestorePrivilege"}, 0, {"HKEY_USERS\\S-1-5-21-0-0-0-1001: unloading", "Exiting"}},
        {L"/del /k Software\\App /vn Absent", {L"SeRestorePrivilege"}, 0,
         {"processingFunc: RegDeleteKeyValueW() failed, error = 2", "HKEY_USERS\\S-1-5-21-0-0-0-1001: unloading",
          "Exiting"}},
        {L"/set /k Software\\App /vn Name /vstr x", {}, 1,
         {"enumAllUserRegHives: Failed to enable needed privileges", "Enumeration of user profiles failed",
          "Exiting"}},
    };
    for (const Case& c : cases) {
        SetUp();
        memplat::setHeldPrivileges(c.held);
        EXPECT_EQ(runTarnwick(c.text), c.exitCode) << narrow(c.text);
        const std::vector<std::string> lines = logMessages();
        ASSERT_GE(lines.size(), c.tail.size());
        EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(c.tail.size()), lines.end()), c.tail)
            << narrow(c.text);
        EXPECT_EQ(lines.front(), "Started with command line: " + narrow(c.text));
        TearDown();
    }
}

TEST_F(Run, NoSwitchesReportInvalidArgsForEveryHive) {
    EXPECT_EQ(runTarnwick(L""), 0);
    const std::vector<std::string> lines = logMessages();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(lines[0], "Started with command line: ");
    EXPECT_EQ(lines[2], "     includeDefaultProfile: false");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "processingFunc: invalid args"), 2);
    EXPECT_EQ(value(L"C:\\users\\me\\ntuser.dat"), L"before");
}

TEST_F(Run, RunWithoutALogBehavesTheSame) {
    setenv("TMPDIR", (tempDir_ + "/missing").c_str(), 1);
    EXPECT_EQ(runTarnwick(L"/set /k Software\\App /vn Name /vstr x"), 0);
    EXPECT_EQ(value(L"C:\\users\\off\\ntuser.dat"), L"x");
    EXPECT_EQ(logBytes(), "");
}

}  // namespace
