// The Linux tarnwick as a user runs it: on a sample volume in a folder, on a
// real NTFS volume through ntfs-3g, and without a volume.
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <filesystem>

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
    for (const std::string& hive : sampleHives()) {
        const std::string path = mountPoint_ + "/" + hive;
        EXPECT_EQ(hivexString(path, valueKey, "OnNtfs"), "written on NTFS") << hive;
        EXPECT_EQ(attribute(path, "system.ntfs_acl"), before[hive].first) << "security descriptor of " << hive;
        EXPECT_EQ(attribute(path, "system.ntfs_attrib"), before[hive].second) << "DOS attributes of " << hive;
        EXPECT_TRUE(temporaryFiles("mnt/" + fs::path(hive).parent_path().string()).empty()) << hive;
    }
}

}  // namespace
