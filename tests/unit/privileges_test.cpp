#include "hives/privileges.h"
#include "test_support.h"

namespace {

struct PrivilegeCase {
    const char* name;
    std::vector<std::wstring> held;
    // A fault: function, status, occurrence (0 = none).
    std::string failFunction;
    LONG failStatus;
    int failOccurrence;
    bool expectedResult;
    std::vector<std::string> expectedLines;
    bool restoreEnabled;
    bool backupEnabled;
};

class EnableNeededPrivileges : public TarnwickTest {};

TEST_F(EnableNeededPrivileges, RequiredAndOptionalFailures) {
    const PrivilegeCase cases[] = {
        {"both held", {L"SeRestorePrivilege", L"SeBackupPrivilege"}, "", 0, 0, true, {}, true, true},
        {"neither held",
         {},
         "",
         0,
         0,
         false,
         {"enablePrivilege: AdjustTokenPrivileges() failed to adjust privilege 'SeRestorePrivilege', error = 1300",
          "enableNeededPrivileges: Failed to enable required privilege 'SeRestorePrivilege'"},
         false,
         false},
        {"restore only",
         {L"SeRestorePrivilege"},
         "",
         0,
         0,
         true,
         {"enablePrivilege: AdjustTokenPrivileges() failed to adjust privilege 'SeBackupPrivilege', error = 1300",
          "enableNeededPrivileges: Failed to enable privilege 'SeBackupPrivilege', but registry updates may still "
          "succeed"},
         true,
         false},
        {"backup only",
         {L"SeBackupPrivilege"},
         "",
         0,
         0,
         false,
         {"enablePrivilege: AdjustTokenPrivileges() failed to adjust privilege 'SeRestorePrivilege', error = 1300",
          "enableNeededPrivileges: Failed to enable required privilege 'SeRestorePrivilege'"},
         false,
         false},
        {"token does not open",
         {L"SeRestorePrivilege", L"SeBackupPrivilege"},
         "OpenProcessToken",
         ERROR_ACCESS_DENIED,
         1,
         false,
         {"enablePrivilege: OpenProcessToken() failed, error = 5",
          "enableNeededPrivileges: Failed to enable required privilege 'SeRestorePrivilege'"},
         false,
         false},
        {"lookup of the backup privilege fails",
         {L"SeRestorePrivilege", L"SeBackupPrivilege"},
         "LookupPrivilegeValueW",
         ERROR_NO_SUCH_PRIVILEGE,
         2,
         true,
         {"enablePrivilege: LookupPrivilegeValueW() failed for privilege 'SeBackupPrivilege', error = 1313",
          "enableNeededPrivileges: Failed to enable privilege 'SeBackupPrivilege', but registry updates may still "
          "succeed"},
         true,
         false},
        {"adjustment fails outright",
         {L"SeRestorePrivilege", L"SeBackupPrivilege"},
         "AdjustTokenPrivileges",
         ERROR_INVALID_PARAMETER,
         1,
         false,
         {"enablePrivilege: AdjustTokenPrivileges() failed to adjust privilege 'SeRestorePrivilege', error = 87",
          "enableNeededPrivileges: Failed to enable required privilege 'SeRestorePrivilege'"},
         false,
         false},
    };
    for (const PrivilegeCase& c : cases) {
        SetUp();
        memplat::setHeldPrivileges(c.held);
        if (!c.failFunction.empty()) {
            memplat::failCall(c.failFunction, c.failStatus, c.failOccurrence);
        }
        EXPECT_EQ(enableNeededPrivileges(), c.expectedResult) << c.name;
        EXPECT_EQ(logMessages(), c.expectedLines) << c.name;
        EXPECT_EQ(memplat::privilegeEnabled(L"SeRestorePrivilege"), c.restoreEnabled) << c.name;
        EXPECT_EQ(memplat::privilegeEnabled(L"SeBackupPrivilege"), c.backupEnabled) << c.name;
        // The token is closed on every path once it was opened.
        EXPECT_EQ(memplat::openTokenCount(), 0) << c.name;
        // Without the restore privilege the backup privilege is not tried.
        const auto lookups = memplat::callTargets("LookupPrivilegeValueW");
        if (!c.expectedResult && c.failFunction != "OpenProcessToken") {
            EXPECT_EQ(lookups, std::vector<std::wstring>{L"SeRestorePrivilege"}) << c.name;
        }
        TearDown();
    }
}

TEST_F(EnableNeededPrivileges, ErrorIsReadBeforeTheTokenIsClosed) {
    // The in-memory CloseHandle leaves a different last error behind, so a
    // number read after the close would show up here.
    memplat::setHeldPrivileges({L"SeRestorePrivilege"});
    EXPECT_FALSE(enablePrivilege(L"SeBackupPrivilege"));
    EXPECT_EQ(logMessages(), std::vector<std::string>{"enablePrivilege: AdjustTokenPrivileges() failed to adjust "
                                                      "privilege 'SeBackupPrivilege', error = 1300"});
    const auto& calls = memplat::calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(narrow(calls[3]), "CloseHandle token");
}

TEST_F(EnableNeededPrivileges, AlreadyEnabledCountsAsEnabledAndUnknownNamesFail) {
    EXPECT_TRUE(enablePrivilege(L"SeRestorePrivilege"));
    EXPECT_TRUE(enablePrivilege(L"SeRestorePrivilege"));
    EXPECT_FALSE(enablePrivilege(L"SeNoSuchPrivilege"));
    EXPECT_EQ(logMessages(), std::vector<std::string>{"enablePrivilege: LookupPrivilegeValueW() failed for privilege "
                                                      "'SeNoSuchPrivilege', error = 1313"});
    EXPECT_EQ(memplat::openTokenCount(), 0);
}

}  // namespace
