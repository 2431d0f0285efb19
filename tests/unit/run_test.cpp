#include <algorithm>
#include <cstdio>

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
        // A delete neither reads nor checks /vtype.
        {L"/del /k Software\\App /vn Name /vtype REG_NONSENSE", {L"SeRestorePrivilege"}, 0,
         {"HKEY_USERS\\S-1-5-21-0-0-0-1001: unloading", "Exiting"}},
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

TEST_F(Run, DataThatIsNoneOfItsTypeEndsTheRunBeforeAnythingHappens) {
    EXPECT_EQ(runTarnwick(L"/set /k Software\\App /vn Name /vtype REG_DWORD /vstr 12x"), 1);
    // The report, one line more, then why the run stops.
    const std::vector<std::string> lines = logMessages();
    ASSERT_EQ(lines.size(), 10u);
    const std::vector<std::string> tail = {
        "                   valueSZ: 12x",
        "                 valueType: REG_DWORD",
        "Invalid data for REG_DWORD: '12x' (expected a decimal number or 0x and hexadecimal digits)",
        "Exiting",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 6, lines.end()), tail);
    // No token, registry or environment call at all.
    EXPECT_TRUE(memplat::calls().empty());
    EXPECT_EQ(value(L"C:\\users\\me\\ntuser.dat"), L"before");
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

// The run with the classes hives of both users: the logged-on user's mounted
// beside the profile hive, the logged-off user's in its file. An earlier
// run left a value in a real Software\Classes key of the logged-off user's
// ntuser.dat, where Windows never reads it.
class RunWithClassesHives : public Run {
protected:
    void SetUp() override {
        Run::SetUp();
        memplat::addHiveFile(meClasses);
        memplat::setHiveString(meClasses, L".old", L"n", L"classes");
        memplat::mountHive(L"S-1-5-21-0-0-0-1000_Classes", meClasses);
        memplat::addHiveFile(offClasses);
        memplat::setHiveString(offClasses, L".old", L"n", L"classes");
        memplat::setHiveString(offNtuser, L"Software\\Classes\\.old", L"n", L"stale");
    }
    static std::vector<std::string> targets(const std::string& function) {
        std::vector<std::string> result;
        for (const std::wstring& target : memplat::callTargets(function)) {
            result.push_back(narrow(target));
        }
        return result;
    }
    // The log lines between the report and "Exiting".
    std::vector<std::string> walkLines() const {
        const std::vector<std::string> lines = logMessages();
        if (lines.size() < 8) {
            return lines;
        }
        return std::vector<std::string>(lines.begin() + 7, lines.end() - 1);
    }

    const std::wstring meNtuser = L"C:\\users\\me\\ntuser.dat";
    const std::wstring offNtuser = L"C:\\users\\off\\ntuser.dat";
    const std::wstring meClasses = L"C:\\users\\me\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
    const std::wstring offClasses = L"C:\\users\\off\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat";
};

const std::vector<std::string> classesWalk = {
    "HKEY_USERS\\S-1-5-21-0-0-0-1000_Classes: processing",
    R"(HKEY_USERS\S-1-5-21-0-0-0-1001_Classes: loading "C:\\users\\off\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat")",
    "HKEY_USERS\\S-1-5-21-0-0-0-1001_Classes: processing",
    "HKEY_USERS\\S-1-5-21-0-0-0-1001_Classes: unloading",
};
const std::vector<std::string> profileWalk = {
    "HKEY_USERS\\S-1-5-21-0-0-0-1000: processing",
    R"(HKEY_USERS\S-1-5-21-0-0-0-1001: loading "C:\\users\\off\\ntuser.dat")",
    "HKEY_USERS\\S-1-5-21-0-0-0-1001: processing",
    "HKEY_USERS\\S-1-5-21-0-0-0-1001: unloading",
};

TEST_F(RunWithClassesHives, EachSubkeyGoesToTheHiveThatHoldsIt) {
    const struct {
        const wchar_t* text;
        bool classes;
        std::wstring keyInHive;  // where the value must be afterwards
        std::vector<std::string> walk;
        std::string written;     // the set or delete calls' target below each hive root
    } cases[] = {
        {L"/set /k Software\\Classes\\.abc /vn n /vstr v", true, L".abc", classesWalk, "\\.abc n"},
        {L"/set /k sOFTWARE\\cLASSES\\.abc /vn n /vstr v", true, L".abc", classesWalk, "\\.abc n"},
        {L"/set /k Software\\Classes /vn n /vstr v", true, L"", classesWalk, " n"},
        {L"/set /k Software\\\\Classes\\\\ /vn n /vstr v", true, L"", classesWalk, " n"},
        {L"/set /k Software\\Classes\\Wow6432Node\\CLSID\\{1} /vn n /vstr v", true, L"Wow6432Node\\CLSID\\{1}",
         classesWalk, "\\Wow6432Node\\CLSID\\{1} n"},
        {L"/set /k Software\\ClassesX\\.abc /vn n /vstr v", false, L"Software\\ClassesX\\.abc", profileWalk,
         "\\Software\\ClassesX\\.abc n"},
        {L"/set /k Software\\Contoso\\Classes /vn n /vstr v", false, L"Software\\Contoso\\Classes", profileWalk,
         "\\Software\\Contoso\\Classes n"},
    };
    for (const auto& c : cases) {
        SetUp();
        const std::string text = narrow(c.text);
        EXPECT_EQ(runTarnwick(c.text), 0) << text;
        EXPECT_EQ(walkLines(), c.walk) << text;
        const std::string suffix = c.classes ? "_Classes" : "";
        const std::vector<std::string> written = {"HKEY_USERS\\S-1-5-21-0-0-0-1000" + suffix + c.written,
                                                  "HKEY_USERS\\S-1-5-21-0-0-0-1001" + suffix + c.written};
        EXPECT_EQ(targets("RegSetKeyValueW"), written) << text;
        for (const std::wstring& file : {meNtuser, offNtuser, meClasses, offClasses}) {
            const bool classesFile = file.find(L"UsrClass") != std::wstring::npos;
            const auto value = memplat::getHiveValue(file, c.keyInHive, L"n");
            EXPECT_EQ(value.has_value(), classesFile == c.classes) << text << " in " << narrow(file);
        }
        // Nothing new under Software\Classes in ntuser.dat.
        EXPECT_FALSE(memplat::getHiveValue(meNtuser, L"Software\\Classes\\.abc", L"n").has_value()) << text;
        EXPECT_FALSE(memplat::getHiveValue(offNtuser, L"Software\\Classes\\.abc", L"n").has_value()) << text;
        EXPECT_TRUE(memplat::isMounted(L"S-1-5-21-0-0-0-1000_Classes")) << text;
        EXPECT_FALSE(memplat::isMounted(L"S-1-5-21-0-0-0-1001_Classes")) << text;
        EXPECT_EQ(memplat::openKeyCount(), 0) << text;
        TearDown();
    }
}

// A subkey typed with a leading backslash is refused by the registry in each
// profile hive, as Windows refuses it; in particular it never lands in a
// Software\Classes key of ntuser.dat.
TEST_F(RunWithClassesHives, ALeadingBackslashIsRefusedInEveryHive) {
    EXPECT_EQ(runTarnwick(L"/set /k \\Software\\Classes\\.abc /vn n /vstr v"), 0);
    const std::string refused = "processingFunc: RegSetKeyValueW() failed, error = 161";
    const std::vector<std::string> expected = {
        "HKEY_USERS\\S-1-5-21-0-0-0-1000: processing", refused,
        R"(HKEY_USERS\S-1-5-21-0-0-0-1001: loading "C:\\users\\off\\ntuser.dat")",
        "HKEY_USERS\\S-1-5-21-0-0-0-1001: processing", refused,
        "HKEY_USERS\\S-1-5-21-0-0-0-1001: unloading",
    };
    EXPECT_EQ(walkLines(), expected);
    for (const std::wstring& file : {meNtuser, offNtuser, meClasses, offClasses}) {
        for (const wchar_t* key : {L"Software\\Classes\\.abc", L".abc"}) {
            EXPECT_FALSE(memplat::getHiveValue(file, key, L"n").has_value()) << narrow(file);
        }
    }
}

TEST_F(RunWithClassesHives, DeleteTakesTheValueFromTheClassesHiveAndLeavesNtuserDatAlone) {
    EXPECT_EQ(runTarnwick(L"/del /k Software\\Classes\\.old /vn n /vstr ignored"), 0);
    const std::vector<std::string> lines = logMessages();
    ASSERT_GE(lines.size(), 5u);
    // The report shows the subkey as typed.
    EXPECT_EQ(lines[4], "                    subKey: Software\\Classes\\.old");
    EXPECT_EQ(walkLines(), classesWalk);
    const std::vector<std::string> deleted = {"HKEY_USERS\\S-1-5-21-0-0-0-1000_Classes\\.old n",
                                              "HKEY_USERS\\S-1-5-21-0-0-0-1001_Classes\\.old n"};
    EXPECT_EQ(targets("RegDeleteKeyValueW"), deleted);
    EXPECT_FALSE(memplat::getHiveValue(meClasses, L".old", L"n").has_value());
    EXPECT_FALSE(memplat::getHiveValue(offClasses, L".old", L"n").has_value());
    EXPECT_TRUE(memplat::getHiveValue(offNtuser, L"Software\\Classes\\.old", L"n").has_value());
}

TEST_F(Run, MissingClassesHivesWriteNothingAnywhere) {
    // Neither user has a UsrClass.dat, nor has the Default profile, as usual.
    memplat::setString(HKEY_LOCAL_MACHINE, profileList, L"Default", L"C:\\Users\\Default");
    memplat::addHiveFile(L"C:\\Users\\Default\\NTUSER.DAT");
    EXPECT_EQ(runTarnwick(L"/set /k Software\\Classes\\.abc /vn n /vstr v /dp"), 0);
    auto failed = [](const std::string& mount, const std::string& directory) {
        const std::string file = "\"" + directory + "\\\\AppData\\\\Local\\\\Microsoft\\\\Windows\\\\UsrClass.dat\"";
        return std::vector<std::string>{
            "HKEY_USERS\\" + mount + ": loading " + file,
            "maybeLoadUserHiveAndCallCallback: RegLoadKeyW() failed for HKEY_USERS\\" + mount + ", file path = '" +
                file + "', error = 2"};
    };
    std::vector<std::string> expected;
    for (const auto& block : {failed("S-1-5-21-0-0-0-1000_Classes", "C:\\\\users\\\\me"),
                              failed("S-1-5-21-0-0-0-1001_Classes", "C:\\\\users\\\\off"),
                              failed("tarnwick-default-profile_Classes", "C:\\\\Users\\\\Default")}) {
        expected.insert(expected.end(), block.begin(), block.end());
    }
    const std::vector<std::string> lines = logMessages();
    ASSERT_EQ(lines.size(), 7 + expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 7, lines.end() - 1), expected);
    EXPECT_TRUE(memplat::callTargets("RegSetKeyValueW").empty());
    EXPECT_EQ(memplat::callTargets("RegLoadKeyW").size(), 3u);
    for (const wchar_t* file :
         {L"C:\\users\\me\\ntuser.dat", L"C:\\users\\off\\ntuser.dat", L"C:\\Users\\Default\\NTUSER.DAT"}) {
        EXPECT_FALSE(memplat::getHiveValue(file, L"Software\\Classes\\.abc", L"n").has_value()) << narrow(file);
        EXPECT_FALSE(memplat::getHiveValue(file, L".abc", L"n").has_value()) << narrow(file);
    }
}

// A registry file written into the test's temporary folder; its path.
std::wstring writeRegistryFile(const std::string& folder, const std::string& text) {
    const std::string path = folder + "/settings.reg";
    FILE* file = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    return std::wstring(path.begin(), path.end());
}

const char* const settings =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\App]\r\n"
    "\"Name\"=\"imported\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Classes\\.abc]\r\n"
    "@=\"abcfile\"\r\n"
    "\r\n"
    "[-HKEY_CURRENT_USER\\Software\\Classes\\.old]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\App\\Sub]\r\n"
    "\"Absent\"=-\r\n";

// Every hive is loaded once for the whole file, the profile hive before the
// classes hive of the same profile, and each section lands in the hive that
// holds it.
TEST_F(RunWithClassesHives, AnImportAppliesEachSectionInItsHiveLoadingEachHiveOnce) {
    const std::wstring file = writeRegistryFile(tempDir_, settings);
    const std::wstring text = L"/import \"" + file + L"\"";
    EXPECT_EQ(runTarnwick(text.c_str()), 0);
    const std::vector<std::string> lines = logMessages();
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[7], "                importFile: " + narrow(file));
    EXPECT_EQ(lines[8], "Registry file \"" + narrow(file) + "\": 3 keys, 3 values, 2 deletions");
    const std::vector<std::string> walk = {
        "HKEY_USERS\\S-1-5-21-0-0-0-1000: processing",
        "HKEY_USERS\\S-1-5-21-0-0-0-1000_Classes: processing",
        R"(HKEY_USERS\S-1-5-21-0-0-0-1001: loading "C:\\users\\off\\ntuser.dat")",
        "HKEY_USERS\\S-1-5-21-0-0-0-1001: processing",
        "HKEY_USERS\\S-1-5-21-0-0-0-1001: unloading",
        R"(HKEY_USERS\S-1-5-21-0-0-0-1001_Classes: loading "C:\\users\\off\\AppData\\Local\\Microsoft\\Windows\\UsrClass.dat")",
        "HKEY_USERS\\S-1-5-21-0-0-0-1001_Classes: processing",
        "HKEY_USERS\\S-1-5-21-0-0-0-1001_Classes: unloading",
        "Exiting",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 9, lines.end()), walk);
    EXPECT_EQ(memplat::callTargets("RegLoadKeyW").size(), 2u);
    for (const std::wstring& ntuser : {meNtuser, offNtuser}) {
        EXPECT_EQ(value(ntuser.c_str()), L"imported") << narrow(ntuser);
        const auto count = memplat::getHiveValue(ntuser, L"Software\\App", L"Count");
        ASSERT_TRUE(count.has_value());
        EXPECT_EQ(count->type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(count->data, (std::vector<std::uint8_t>{0x2a, 0, 0, 0}));
        EXPECT_TRUE(memplat::keyExists(HKEY_USERS, L"S-1-5-21-0-0-0-1000\\Software\\App\\Sub"));
    }
    for (const std::wstring& classes : {meClasses, offClasses}) {
        EXPECT_TRUE(memplat::getHiveValue(classes, L".abc", L"").has_value()) << narrow(classes);
        EXPECT_FALSE(memplat::getHiveValue(classes, L".old", L"n").has_value()) << narrow(classes);
    }
    // The stale key in ntuser.dat is no classes key: it stays.
    EXPECT_TRUE(memplat::getHiveValue(offNtuser, L"Software\\Classes\\.old", L"n").has_value());
    EXPECT_EQ(memplat::openKeyCount(), 0);
}

TEST_F(RunWithClassesHives, AChangeThatFailsIsLoggedWithItsLineAndTheRestIsApplied) {
    const std::wstring file = writeRegistryFile(tempDir_, settings);
    // The first set of each profile hive fails: line 4 ("Name").
    for (const wchar_t* sid : {L"S-1-5-21-0-0-0-1000", L"S-1-5-21-0-0-0-1001"}) {
        memplat::failCall("RegSetValueExW", ERROR_ACCESS_DENIED, 0,
                          std::wstring(L"HKEY_USERS\\") + sid + L"\\Software\\App Name");
    }
    EXPECT_EQ(runTarnwick((L"/import " + file).c_str()), 0);
    const std::vector<std::string> lines = logMessages();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "importFunc: RegSetValueExW() failed for line 4, error = 5"), 2);
    EXPECT_EQ(value(meNtuser.c_str()), L"before");
    EXPECT_TRUE(memplat::getHiveValue(offNtuser, L"Software\\App", L"Count").has_value());
    EXPECT_TRUE(memplat::getHiveValue(offClasses, L".abc", L"").has_value());
}

// A file that cannot be read or is not one to apply, and a key deletion of a
// hive's root, end the run before anything happens.
TEST_F(RunWithClassesHives, RefusedBeforeAnythingHappens) {
    const struct {
        std::string file;      // written to settings.reg when not empty
        std::wstring args;     // after the switches, "@" is the file's path
        std::string why;
    } cases[] = {
        {"", L"/import @", "readRegistryFile: open() failed for \"@\", error = 2"},
        {"", L"/import", "readRegistryFile: /import names no file"},
        {"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\App]\r\n\"A\"=\"x\"\r\n"
         "[HKEY_LOCAL_MACHINE\\Software\\App]\r\n",
         L"/import @", "readRegistryFile: \"@\", line 5: "},
        {"", L"/delkey /k Software\\Classes", "Refused: /delkey /k 'Software\\Classes' names the root of a user's "
                                              "hive, which is never deleted"},
        {"", L"/delkey /k \"\"", "Refused: /delkey /k '' names the root of a user's hive, which is never deleted"},
    };
    for (const auto& c : cases) {
        SetUp();
        const std::string path = tempDir_ + "/settings.reg";
        if (!c.file.empty()) {
            writeRegistryFile(tempDir_, c.file);
        }
        std::wstring args = c.args;
        const std::size_t at = args.find(L'@');
        if (at != std::wstring::npos) {
            args.replace(at, 1, std::wstring(path.begin(), path.end()));
        }
        std::string why = c.why;
        const std::size_t mark = why.find('@');
        if (mark != std::string::npos) {
            why.replace(mark, 1, path);
        }
        EXPECT_EQ(runTarnwick(args.c_str()), 1) << narrow(args);
        const std::vector<std::string> lines = logMessages();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2].substr(0, why.size()), why) << narrow(args);
        EXPECT_EQ(lines.back(), "Exiting");
        EXPECT_TRUE(memplat::calls().empty()) << narrow(args);
        EXPECT_EQ(value(meNtuser.c_str()), L"before");
        TearDown();
    }
}

}  // namespace
