// The Linux tarnwick as a user runs it: on a sample volume in a folder, on a
// real NTFS volume through ntfs-3g, and without a volume.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "offline_test_support.h"
#include "sample_volume.h"

namespace {

namespace fs = std::filesystem;

const char* const valueKey = "Software\\Tarnwick Test";

// Every user hive of the sample volume, relative to its drive, and the
// Default profile's.
std::vector<std::string> sampleHives() {
    std::vector<std::string> hives = {"Users/Default/NTUSER.DAT"};
    for (const sample::SampleUser& user : sample::sampleUsers()) {
        if (!user.folder.empty()) {
            hives.push_back("Users/" + user.folder + "/" + user.hiveName);
        }
    }
    return hives;
}

int countLines(const std::string& text) {
    int lines = 0;
    for (char c : text) {
        lines += c == '\n';
    }
    return lines;
}

using ToolTest = OfflineTest;

TEST_F(ToolTest, SetAndDeleteInEveryProfileOfASampleVolume) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    const std::string text = "Grüße aus Tarnwick";
    ToolRun run = runTool({"/set", "/k", valueKey, "/vn", "Greeting", "/vstr", text, "/dp"}, drive_);
    EXPECT_EQ(run.exitCode, 0) << run.log;
    EXPECT_EQ(run.stderrText, "");
    for (const std::string& hive : sampleHives()) {
        EXPECT_EQ(hivexString(host(hive), valueKey, "Greeting"), text) << hive;
        EXPECT_EQ(regfexportString(host(hive), valueKey, "Greeting"), text) << hive;
    }
    // The profiles whose folders are missing are logged with Windows' status.
    EXPECT_NE(run.log.find("Users\\\\Carol\\\\ntuser.dat\"', error = 3"), std::string::npos) << run.log;
    // The service profiles' hive is not touched.
    EXPECT_EQ(hivexString(host("Windows/System32/config/systemprofile/ntuser.dat"), valueKey, "Greeting"), std::nullopt);

    run = runTool({"/del", "/k", valueKey, "/vn", "Greeting"}, drive_);
    EXPECT_EQ(run.exitCode, 0) << run.log;
    for (const std::string& hive : sampleHives()) {
        const bool isDefault = hive.find("Default") != std::string::npos;
        EXPECT_EQ(hivexString(host(hive), valueKey, "Greeting").has_value(), isDefault) << hive;
        EXPECT_TRUE(temporaryFiles(fs::path(hive).parent_path().string()).empty()) << hive;
    }
}

// What /vtype stores, as two independent readers of the files see it; a
// REG_BINARY long enough for big data among them.
TEST_F(ToolTest, TypedValuesAreReadBackByHivexAndLibregf) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    const struct {
        const char* name;
        const char* type;
        const char* data;
        std::pair<int, std::string> stored;  // as hivex reads it
        const char* regfexport;              // the value as regfexport prints it, after its name
    } cases[] = {
        {"Port", "REG_DWORD", "4294967295", {4, "\xff\xff\xff\xff"},
         "32-bit integer little-endian (REG_DWORD_LITTLE_ENDIAN)\nData size: 4\nData: 4294967295"},
        {"Big", "reg_qword", "0x0102030405060708", {11, "\x08\x07\x06\x05\x04\x03\x02\x01"},
         "64-bit integer little-endian (REG_QWORD_LITTLE_ENDIAN)\nData size: 8\nData: 72623859790382856"},
        {"List", "REG_MULTI_SZ", "a\\0b", {7, std::string("a\0\0\0b\0\0\0\0\0", 10)},
         "multi-value string (REG_MULTI_SZ)\nData size: 10\nData:\n"
         "00000000: 61 00 00 00 62 00 00 00  00 00                     a...b... .."},
        // Longer than the 4 bytes kept in the value's own cell, which libregf
        // shows shifted when there are fewer.
        {"Blob", "REG_BINARY", "0001020304", {3, std::string("\0\1\2\3\4", 5)},
         "binary data (REG_BINARY)\nData size: 5\nData:\n"
         "00000000: 00 01 02 03 04                                     ....."},
    };
    for (const auto& c : cases) {
        const ToolRun run =
            runTool({"/set", "/k", valueKey, "/vn", c.name, "/vtype", c.type, "/vstr", c.data, "/dp"}, drive_);
        EXPECT_EQ(run.exitCode, 0) << run.log;
    }
    // 16,345 bytes: one more than fits in a single cell.
    const ToolRun huge = runTool(
        {"/set", "/k", valueKey, "/vn", "Huge", "/vtype", "REG_BINARY", "/vstr", std::string(32690, 'a'), "/dp"}, drive_);
    EXPECT_EQ(huge.log.find("processingFunc"), std::string::npos) << huge.log;
    for (const std::string& hive : sampleHives()) {
        SCOPED_TRACE(hive);
        const auto values = hivexTree(host(hive))[valueKey].values;
        const auto regf = regfexportTree(host(hive))[std::string("ROOT\\") + valueKey];
        for (const auto& c : cases) {
            EXPECT_EQ(values.count(c.name) ? values.at(c.name) : std::make_pair(0, std::string()), c.stored);
            const std::string shown = std::string("Value: ") + c.name + "\nType: " + c.regfexport;
            EXPECT_EQ(std::count(regf.begin(), regf.end(), shown), 1) << c.name;
        }
        EXPECT_EQ(values.count("Huge") ? values.at("Huge") : std::make_pair(0, std::string()),
                  std::make_pair(3, std::string(16345, '\xaa')));
        EXPECT_EQ(std::count_if(regf.begin(), regf.end(),
                                [](const std::string& v) { return v.rfind("Value: Huge\nType: binary data (REG_BINARY)\nData size: 16345\n", 0) == 0; }),
                  1);
    }
}

// ---- The classes hives ----

const char* const classesKey = "Software\\Classes\\.tarnwick\\Shell";
const char* const keyInClassesHive = ".tarnwick\\Shell";

struct ClassesHive {
    std::string sid;
    std::string file;  // relative to the drive
};

std::vector<ClassesHive> sampleClassesHives() {
    std::vector<ClassesHive> hives;
    for (const sample::SampleUser& user : sample::sampleUsers()) {
        if (!user.classesHive.empty()) {
            hives.push_back({user.sid, "Users/" + user.folder + "/" + user.classesHive});
        }
    }
    return hives;
}

// The lines a user's classes hive gets when it cannot be loaded.
std::string classesLoadFailed(const std::string& mount, const std::string& directory, int status) {
    const std::string file = "\"C:\\\\Users\\\\" + directory + "\\\\AppData\\\\Local\\\\Microsoft\\\\Windows\\\\UsrClass.dat\"";
    return "maybeLoadUserHiveAndCallCallback: RegLoadKeyW() failed for HKEY_USERS\\" + mount + "_Classes, file path = '" +
           file + "', error = " + std::to_string(status) + "\r\n";
}

// A registry file exported by regedit (UTF-16 with its mark) applied to every
// profile and the Default profile, read back by two independent readers.
TEST_F(ToolTest, AnImportedUtf16FileIsReadBackByHivexAndLibregf) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    ASSERT_EQ(runTool({"/set", "/k", "Software\\Tarnwick Test\\Old", "/vn", "Gone", "/vstr", "x", "/dp"}, drive_).exitCode,
              0);
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Tarnwick Test]\r\n"
        u"\"Greeting\"=\"Gr\u00fc\u00dfe\"\r\n"
        u"\"Port\"=dword:00001f90\r\n"
        u"\"Blob\"=hex:00,01,\\\r\n  02,03,04\r\n"
        u"\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n\r\n"
        u"[-HKEY_CURRENT_USER\\Software\\Tarnwick Test\\Old]\r\n\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Classes\\.tarnwick]\r\n"
        u"@=\"Tarnwick.File\"\r\n";
    std::string bytes = "\xff\xfe";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    const std::string file = drive_ + "/../settings.reg";
    writeBytes(file, bytes);
    const ToolRun run = runTool({"/import", file, "/dp"}, drive_);
    EXPECT_EQ(run.exitCode, 0) << run.log;
    EXPECT_NE(run.log.find(": 2 keys, 5 values, 1 deletions\r\n"), std::string::npos) << run.log;
    for (const std::string& hive : sampleHives()) {
        SCOPED_TRACE(hive);
        const auto tree = hivexTree(host(hive));
        ASSERT_EQ(tree.count(valueKey), 1u);
        const auto& values = tree.at(valueKey).values;
        EXPECT_EQ(values.at("Port"), std::make_pair(4, std::string("\x90\x1f\0\0", 4)));
        EXPECT_EQ(values.at("Blob"), std::make_pair(3, std::string("\0\1\2\3\4", 5)));
        EXPECT_EQ(values.at("List"), std::make_pair(7, std::string("a\0\0\0b\0\0\0\0\0", 10)));
        EXPECT_EQ(tree.count(std::string(valueKey) + "\\Old"), 0u);
        EXPECT_EQ(regfexportString(host(hive), valueKey, "Greeting"), "Grüße");
        EXPECT_EQ(tree.count("Software\\Classes\\.tarnwick"), 0u);
    }
    for (const ClassesHive& hive : sampleClassesHives()) {
        EXPECT_EQ(regfexportString(host(hive.file), ".tarnwick", "(default)"), "Tarnwick.File") << hive.file;
    }
}

std::uint32_t dwordAt(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, sizeof(v));
    return v;
}

void putDwordAt(std::string& bytes, std::size_t at, std::uint32_t value) { std::memcpy(&bytes[at], &value, 4); }

// A base block that is sound but for what the caller changed.
void fixChecksum(std::string& bytes) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 127; ++i) {
        sum ^= dwordAt(bytes, i * 4);
    }
    putDwordAt(bytes, 508, sum == 0 ? 1 : sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum);
}

TEST_F(ToolTest, ClassesSubkeyGoesToEveryUsrClassDatAndNtuserDatStaysByteIdentical) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    // One classes hive has transaction logs of its own; being clean, it does
    // not need them, and they are no business of ours.
    const std::string janLogs = "Users/JanNowak/AppData/Local/Microsoft/Windows/UsrClass.dat.LOG";
    writeBytes(host(janLogs + "1"), std::string(512, '\x11'));
    writeBytes(host(janLogs + "2"), std::string(512, '\x22'));
    std::map<std::string, std::string> before;
    for (const std::string& hive : sampleHives()) {
        before[hive] = fileBytes(host(hive));
    }
    for (const std::string& logFile : {janLogs + "1", janLogs + "2"}) {
        before[logFile] = fileBytes(host(logFile));
    }

    const std::string text = "Grüße aus den Klassen";
    ToolRun run = runTool({"/set", "/k", classesKey, "/vn", "Greeting", "/vstr", text, "/dp"}, drive_);
    EXPECT_EQ(run.exitCode, 0) << run.log;
    EXPECT_EQ(run.stderrText, "");
    for (const ClassesHive& hive : sampleClassesHives()) {
        EXPECT_EQ(hivexString(host(hive.file), keyInClassesHive, "Greeting"), text) << hive.file;
        EXPECT_EQ(regfexportString(host(hive.file), keyInClassesHive, "Greeting"), text) << hive.file;
        EXPECT_EQ(regfexportString(host(hive.file), ".sample", "Content Type"), "text/plain") << hive.file;
        EXPECT_NE(run.log.find("HKEY_USERS\\" + hive.sid + "_Classes: unloading\r\n"), std::string::npos) << run.log;
    }
    for (const auto& [file, bytes] : before) {
        EXPECT_TRUE(fileBytes(host(file)) == bytes) << file << " changed";
    }
    // The missing classes hives: a file that is not there (Zoë, the Default
    // profile), a profile folder that is not there (Carol).
    const std::string failures[] = {
        classesLoadFailed("S-1-5-21-3623811015-3361044348-30300820-1005", "Zo\xEB", ERROR_FILE_NOT_FOUND),
        classesLoadFailed("S-1-5-21-3623811015-3361044348-30300820-1003", "Carol", ERROR_PATH_NOT_FOUND),
        classesLoadFailed("tarnwick-default-profile", "Default", ERROR_FILE_NOT_FOUND),
    };
    for (const std::string& line : failures) {
        EXPECT_NE(run.log.find(line), std::string::npos) << line << "\n" << run.log;
    }
    EXPECT_EQ(run.log.find("ntuser.dat"), std::string::npos) << run.log;
    EXPECT_EQ(run.log.find("NTUSER.DAT"), std::string::npos) << run.log;

    run = runTool({"/del", "/k", classesKey, "/vn", "Greeting"}, drive_);
    EXPECT_EQ(run.exitCode, 0) << run.log;
    for (const ClassesHive& hive : sampleClassesHives()) {
        EXPECT_EQ(hivexString(host(hive.file), keyInClassesHive, "Greeting"), std::nullopt) << hive.file;
        EXPECT_EQ(regfexportString(host(hive.file), keyInClassesHive, "Greeting"), std::nullopt) << hive.file;
        EXPECT_TRUE(temporaryFiles(fs::path(hive.file).parent_path().string()).empty()) << hive.file;
    }
    for (const auto& [file, bytes] : before) {
        EXPECT_TRUE(fileBytes(host(file)) == bytes) << file << " changed";
    }
}

TEST_F(ToolTest, AClassesHiveThatIsRefusedStaysAsItWasLikeNtuserDat) {
    const std::string alice = "Users/alice/AppData/Local/Microsoft/Windows/UsrClass.dat";
    const std::string aliceSid = "S-1-5-21-3623811015-3361044348-30300820-1001";
    const std::string bob = "Users/bob/appdata/local/microsoft/windows/usrclass.dat";
    struct Case {
        const char* what;
        std::function<void(const std::string&)> spoil;  // given the host path
        LONG status;
    };
    int heldLock = -1;
    const Case cases[] = {
        {"held by another run",
         [&](const std::string& path) {
             heldLock = open(path.c_str(), O_RDONLY | O_CLOEXEC);
             ASSERT_EQ(flock(heldLock, LOCK_EX | LOCK_NB), 0);
         },
         ERROR_SHARING_VIOLATION},
        {"checksum wrong",
         [](const std::string& path) {
             std::string bytes = fileBytes(path);
             bytes[508] ^= 0x55;
             writeBytes(path, bytes);
         },
         ERROR_BADDB},
        {"dirty, and its .LOG1 and .LOG2 hold nothing that applies",
         [](const std::string& path) {
             std::string bytes = fileBytes(path);
             putDwordAt(bytes, 8, dwordAt(bytes, 4) + 1);
             fixChecksum(bytes);
             writeBytes(path, bytes);
             writeBytes(path + ".LOG1", std::string(4096, '\x01'));
             writeBytes(path + ".LOG2", std::string(4096, '\x02'));
         },
         ERROR_NOT_SUPPORTED},
        {"a second hard link",
         [this](const std::string& path) { ASSERT_EQ(link(path.c_str(), host("UsrClass-copy.dat").c_str()), 0); },
         ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ignored;
        fs::remove_all(drive_, ignored);
        std::string error;
        ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
        heldLock = -1;
        c.spoil(host(alice));
        std::map<std::string, std::string> before;
        for (const std::string& file : sampleHives()) {
            before[file] = fileBytes(host(file));
        }
        before[alice] = fileBytes(host(alice));

        const ToolRun run = runTool({"/set", "/k", classesKey, "/vn", "Refused", "/vstr", "x"}, drive_);
        if (heldLock >= 0) {
            close(heldLock);
        }
        EXPECT_EQ(run.exitCode, 0) << run.log;
        EXPECT_NE(run.log.find(classesLoadFailed(aliceSid, "Alice", c.status)), std::string::npos) << run.log;
        for (const auto& [file, bytes] : before) {
            EXPECT_TRUE(fileBytes(host(file)) == bytes) << file << " changed";
        }
        EXPECT_TRUE(temporaryFiles(fs::path(alice).parent_path().string()).empty());
        // The refusal ends the work on that profile only.
        EXPECT_EQ(hivexString(host(bob), keyInClassesHive, "Refused"), "x");
    }
}

TEST_F(ToolTest, ADirtyClassesHiveIsReplayedFromItsLogsAndWrittenBackClean) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    const std::string alice = "Users/alice/AppData/Local/Microsoft/Windows/UsrClass.dat";
    makeDirty(host(alice), {sample::text(".logged", "Content Type", "text/logged")}, host(alice) + ".LOG1",
              host(alice) + ".LOG2");
    const std::string logs = fileBytes(host(alice) + ".LOG1") + "|" + fileBytes(host(alice) + ".LOG2");
    const std::string dirty = fileBytes(host(alice));

    const ToolRun run = runTool({"/set", "/k", classesKey, "/vn", "Greeting", "/vstr", "replayed first"}, drive_);
    EXPECT_EQ(run.exitCode, 0) << run.log;
    EXPECT_NE(run.log.find("HKEY_USERS\\S-1-5-21-3623811015-3361044348-30300820-1001_Classes: unloading"),
              std::string::npos)
        << run.log;
    EXPECT_EQ(hivexString(host(alice), keyInClassesHive, "Greeting"), "replayed first");
    EXPECT_EQ(regfexportString(host(alice), ".logged", "Content Type"), "text/logged");
    EXPECT_EQ(regfexportString(host(alice), ".sample", "Content Type"), "text/plain");
    const std::string written = fileBytes(host(alice));
    EXPECT_EQ(dwordOf(written, 4), dwordOf(written, 8));
    EXPECT_GT(dwordOf(written, 4), dwordOf(dirty, 4));
    EXPECT_EQ(fileBytes(host(alice) + ".LOG1") + "|" + fileBytes(host(alice) + ".LOG2"), logs);
}

TEST_F(ToolTest, ADirtySoftwareHiveIsReadAsItsLogsLeaveItAndNeverWritten) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    // A profile made while Windows ran: its entry in the profile list is
    // still only in SOFTWARE's log.
    const std::string eve = "S-1-5-21-3623811015-3361044348-30300820-1099";
    const std::string list = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + eve;
    fs::create_directories(host("Users/Eve"));
    fs::copy_file(host("Users/bob/NTUSER.DAT"), host("Users/Eve/NTUSER.DAT"));
    const std::string software = host("Windows/System32/config/SOFTWARE");
    makeDirty(software,
              {sample::text(list, "ProfileImagePath", "%SystemDrive%\\Users\\Eve", 2), sample::dword(list, "State", 0)},
              software + ".LOG1", software + ".LOG2");
    std::map<std::string, std::string> before;
    for (const char* file : {"SOFTWARE", "SOFTWARE.LOG1", "SOFTWARE.LOG2"}) {
        before[file] = fileBytes(host("Windows/System32/config/") + file);
    }

    ToolRun run = runTool({"/set", "/k", valueKey, "/vn", "Greeting", "/vstr", "for Eve too"}, drive_);
    EXPECT_EQ(run.exitCode, 0) << run.log;
    EXPECT_NE(run.log.find("HKEY_USERS\\" + eve + ": unloading"), std::string::npos) << run.log;
    EXPECT_EQ(hivexString(host("Users/Eve/NTUSER.DAT"), valueKey, "Greeting"), "for Eve too");
    EXPECT_EQ(hivexString(host("Users/bob/NTUSER.DAT"), valueKey, "Greeting"), "for Eve too");
    for (const auto& [file, bytes] : before) {
        EXPECT_TRUE(fileBytes(host("Windows/System32/config/") + file) == bytes) << file << " changed";
    }

    // Logs that cannot bring it to a consistent state: the profile list
    // cannot be read, and the run says so.
    writeBytes(software + ".LOG1", std::string(4096, '\x07'));
    run = runTool({"/set", "/k", valueKey, "/vn", "Greeting", "/vstr", "never"}, drive_);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.stderrText.find("transaction logs that cannot be replayed (error 50)"), std::string::npos)
        << run.stderrText;
    EXPECT_EQ(hivexString(host("Users/bob/NTUSER.DAT"), valueKey, "Greeting"), "for Eve too");
    EXPECT_TRUE(fileBytes(software) == before["SOFTWARE"]);
}

TEST_F(ToolTest, WithoutAVolumeTheRunFailsWithOneLineOnStderr) {
    const std::string notADirectory = drive_ + "/missing";
    struct Case {
        const char* what;
        std::optional<std::string> drive;
        const char* says;
    };
    const Case cases[] = {
        {"unset", std::nullopt, "TARNWICK_SYSTEM_DRIVE is not set"},
        {"empty", std::string(), "TARNWICK_SYSTEM_DRIVE is not set"},
        {"no such directory", notADirectory, "is not a directory"},
        {"a folder that is no Windows drive", drive_, "names no Windows system drive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ToolRun run = runTool({"/set", "/k", "Software\\X", "/vn", "V", "/vstr", "x"}, c.drive);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(countLines(run.stderrText), 1) << run.stderrText;
        EXPECT_EQ(run.stderrText.rfind("tarnwick: TARNWICK_SYSTEM_DRIVE", 0), 0u) << run.stderrText;
        EXPECT_NE(run.stderrText.find(c.says), std::string::npos) << run.stderrText;
        EXPECT_NE(run.log.find("enumAllUserRegHives: RegOpenKeyExW() failed for HKEY_LOCAL_MACHINE\\Software"),
                  std::string::npos)
            << run.log;
    }
    // A SOFTWARE file that is no hive is named as such.
    writeBytes(host("Windows/System32/config/SOFTWARE"), std::string(9000, 'x'));
    const ToolRun run = runTool({"/set", "/k", "Software\\X", "/vn", "V", "/vstr", "x"}, drive_);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.stderrText.find("cannot be read as a hive (error 1009)"), std::string::npos) << run.stderrText;
}

TEST_F(ToolTest, VersionOrHelpAloneAnswersWithoutTouchingTheVolumeOrTheLog) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    std::map<std::string, std::string> before;
    for (const std::string& hive : sampleHives()) {
        before[hive] = fileBytes(host(hive));
    }
    for (const std::optional<std::string>& drive : {std::optional<std::string>(drive_), std::optional<std::string>()}) {
        SCOPED_TRACE(drive ? "with a volume" : "without a volume");
        ToolRun run = runTool({"--version"}, drive);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.stdoutText, std::string("tarnwick ") + TARNWICK_VERSION + "\n");
        EXPECT_EQ(run.stderrText, "");
        EXPECT_EQ(run.log, "");

        run = runTool({"--help"}, drive);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.stdoutText.rfind("Usage: tarnwick /set /k <subkey> /vn <value name> /vstr <string> [/dp]\n", 0),
                  0u)
            << run.stdoutText;
        for (const char* topic : {"/del", "/dp", "TARNWICK_SYSTEM_DRIVE", "tarnwick.log", "TMPDIR", "Exit codes"}) {
            EXPECT_NE(run.stdoutText.find(topic), std::string::npos) << topic;
        }
        EXPECT_EQ(run.stderrText, "");
        EXPECT_EQ(run.log, "");
    }
    for (const std::string& hive : sampleHives()) {
        EXPECT_EQ(fileBytes(host(hive)), before[hive]) << hive;
    }
}

TEST_F(ToolTest, VersionOrHelpAmongOtherArgumentsIsAnUnknownWordAsBefore) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    struct Case {
        std::vector<std::string> arguments;
        const char* startLine;
    };
    const Case cases[] = {
        {{"--help", "/set", "/k", valueKey, "/vn", "Help", "/vstr", "x"},
         "Started with command line: --help /set /k \"Software\\Tarnwick Test\" /vn Help /vstr x\r\n"},
        {{"/set", "/k", valueKey, "/vn", "Version", "/vstr", "y", "--version"},
         "Started with command line: /set /k \"Software\\Tarnwick Test\" /vn Version /vstr y --version\r\n"},
        {{"--version", "--version"}, "Started with command line: --version --version\r\n"},
        {{"--VERSION"}, "Started with command line: --VERSION\r\n"},
        {{"-h"}, "Started with command line: -h\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.startLine);
        const ToolRun run = runTool(c.arguments, drive_);
        EXPECT_EQ(run.exitCode, 0) << run.log;
        EXPECT_EQ(run.stdoutText, "");
        EXPECT_EQ(run.stderrText, "");
        ASSERT_GT(run.log.size(), 26u);
        EXPECT_EQ(run.log.substr(26, run.log.find('\n') + 1 - 26), c.startLine);
    }
    EXPECT_EQ(hivexString(host("Users/Default/NTUSER.DAT"), valueKey, "Help"), std::nullopt);
    for (const std::string& hive : sampleHives()) {
        if (hive.find("Default") == std::string::npos) {
            EXPECT_EQ(hivexString(host(hive), valueKey, "Help"), "x") << hive;
            EXPECT_EQ(hivexString(host(hive), valueKey, "Version"), "y") << hive;
        }
    }
}

// ---- A real NTFS volume ----

bool runQuiet(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        output += buffer;
    }
    return pclose(pipe) == 0;
}

std::string attribute(const std::string& path, const char* name) {
    char value[4096];
    const ssize_t size = getxattr(path.c_str(), name, value, sizeof(value));
    return size < 0 ? std::string() : std::string(value, static_cast<std::size_t>(size));
}

std::string systemOnlyDescriptor() {
    const unsigned char system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};  // S-1-5-18
    std::string sd(20, '\0');
    sd[0] = 1;
    sd[2] = 0x04;  // SE_DACL_PRESENT
    sd[3] = static_cast<char>(0x80);  // SE_SELF_RELATIVE
    sd[4] = 20;    // owner
    sd[8] = 32;    // group
    sd[16] = 44;   // DACL
    const std::string sid(reinterpret_cast<const char*>(system), sizeof(system));
    std::string ace = {0, 0, 20, 0, static_cast<char>(0xFF), 0x01, 0x1F, 0};  // allow FILE_ALL_ACCESS
    ace += sid;
    std::string acl = {2, 0, 28, 0, 1, 0, 0, 0};
    return sd + sid + sid + acl + ace;
}

class NtfsVolumeTest : public OfflineTest {
protected:
    void TearDown() override {
        if (mounted_) {
            std::string ignored;
            runQuiet("umount '" + mountPoint_ + "'", ignored);
        }
        OfflineTest::TearDown();
    }
    bool mount(std::string& output) {
        mounted_ = runQuiet("ntfs-3g '" + image_ + "' '" + mountPoint_ + "'", output);
        return mounted_;
    }
    bool unmount(std::string& output) {
        mounted_ = !runQuiet("umount '" + mountPoint_ + "'", output);
        return !mounted_;
    }

    std::string image_;
    std::string mountPoint_;
    bool mounted_ = false;
};

TEST_F(NtfsVolumeTest, ToolRunOnAnNtfs3gMountKeepsValuesAclsAndAttributes) {
    const int fuse = open("/dev/fuse", O_RDWR);
    std::string output;
    if (fuse < 0 || !runQuiet("command -v mkntfs && command -v ntfs-3g", output)) {
        if (fuse >= 0) {
            close(fuse);
        }
        GTEST_SKIP() << "\n*** NTFS END-TO-END TEST NOT RUN: /dev/fuse is not usable here or mkntfs/ntfs-3g are "
                        "missing (apt-get install ntfs-3g; needs root and /dev/fuse). ***";
    }
    close(fuse);
    image_ = drive_ + "/ntfs.img";
    mountPoint_ = drive_ + "/mnt";
    fs::create_directories(mountPoint_);
    ASSERT_EQ(truncate(image_.c_str(), 0), -1);  // the image does not exist yet
    ASSERT_TRUE(runQuiet("truncate -s 32M '" + image_ + "' && mkntfs -F -Q -q '" + image_ + "'", output)) << output;
    if (!mount(output)) {
        GTEST_SKIP() << "\n*** NTFS END-TO-END TEST NOT RUN: ntfs-3g cannot mount here: " << output << " ***";
    }

    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(mountPoint_, error)) << error;
    // Give one hive the hidden and system DOS attributes, as Windows does.
    const std::string alice = mountPoint_ + "/Users/alice/ntuser.dat";
    const std::uint32_t hiddenSystemArchive = 0x2 | 0x4 | 0x20;
    ASSERT_EQ(setxattr(alice.c_str(), "system.ntfs_attrib", &hiddenSystemArchive, 4, 0), 0) << std::strerror(errno);
    // And a security descriptor of its own (owner and group SYSTEM, SYSTEM
    // alone allowed), unlike the one a new file gets.
    const std::string descriptor = systemOnlyDescriptor();
    ASSERT_EQ(setxattr(alice.c_str(), "system.ntfs_acl", descriptor.data(), descriptor.size(), 0), 0)
        << std::strerror(errno);
    // Alice's hive is kept by a newer Windows: a new-format log beside it,
    // hidden and system as Windows leaves its logs, through which it is
    // written in place.
    const std::string aliceLog = mountPoint_ + "/Users/alice/ntuser.dat.LOG1";
    addNewFormatLog(alice, aliceLog);
    ASSERT_EQ(setxattr(aliceLog.c_str(), "system.ntfs_attrib", &hiddenSystemArchive, 4, 0), 0) << std::strerror(errno);
    const std::pair<std::string, std::string> logAttributes = {attribute(aliceLog, "system.ntfs_acl"),
                                                               attribute(aliceLog, "system.ntfs_attrib")};
    const std::string aliceBefore = fileBytes(alice);
    const ino_t aliceInode = inodeOf(alice);
    const std::string fresh = mountPoint_ + "/Users/fresh";
    writeBytes(fresh, "x");
    ASSERT_NE(attribute(alice, "system.ntfs_acl"), attribute(fresh, "system.ntfs_acl"));
    ASSERT_NE(attribute(alice, "system.ntfs_attrib"), attribute(fresh, "system.ntfs_attrib"));
    std::map<std::string, std::pair<std::string, std::string>> before;
    for (const std::string& hive : sampleHives()) {
        const std::string path = mountPoint_ + "/" + hive;
        before[hive] = {attribute(path, "system.ntfs_acl"), attribute(path, "system.ntfs_attrib")};
        ASSERT_FALSE(before[hive].first.empty()) << "no NTFS security descriptor on " << hive;
    }
    ASSERT_EQ(before["Users/alice/ntuser.dat"].second, std::string(reinterpret_cast<const char*>(&hiddenSystemArchive), 4));

    const ToolRun run = runTool({"/set", "/k", valueKey, "/vn", "OnNtfs", "/vstr", "written on NTFS", "/dp"}, mountPoint_);
    EXPECT_EQ(run.exitCode, 0) << run.log;

    ASSERT_TRUE(unmount(output)) << output;
    ASSERT_TRUE(mount(output)) << output;
    EXPECT_EQ(inPlaceProblems(aliceBefore, alice, aliceInode), "");
    EXPECT_EQ(std::make_pair(attribute(aliceLog, "system.ntfs_acl"), attribute(aliceLog, "system.ntfs_attrib")),
              logAttributes)
        << "the log written in place lost its security descriptor or DOS attributes";
    for (const std::string& hive : sampleHives()) {
        const std::string path = mountPoint_ + "/" + hive;
        EXPECT_EQ(hivexString(path, valueKey, "OnNtfs"), "written on NTFS") << hive;
        EXPECT_EQ(attribute(path, "system.ntfs_acl"), before[hive].first) << "security descriptor of " << hive;
        EXPECT_EQ(attribute(path, "system.ntfs_attrib"), before[hive].second) << "DOS attributes of " << hive;
        EXPECT_TRUE(temporaryFiles("mnt/" + fs::path(hive).parent_path().string()).empty()) << hive;
    }
}

}  // namespace
