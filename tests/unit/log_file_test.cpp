// The log's rules for an existing file, and the Linux platform's open: links,
// second names, pipes and new files, in a temporary folder of the test's own.
// What needs a second account (a log planted by another user) is tested as
// root by tests/offline/log_as_root.py.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "log/log.h"
#include "log/log_file.h"
#include "test_support.h"

namespace {

struct VerdictCase {
    const char* what;
    LogFileFacts facts;
    LogFileVerdict expected;
};

LogFileFacts facts(bool link, bool regular, unsigned long long names, LogFileOwner owner) {
    LogFileFacts f;
    f.known = true;
    f.link = link;
    f.regularFile = regular;
    f.names = names;
    f.owner = owner;
    return f;
}

TEST(LogFileRules, AppendsOnlyToOnePlainFileOfTheRunningAccountOrTheSystem) {
    using O = LogFileOwner;
    using V = LogFileVerdict;
    const VerdictCase cases[] = {
        {"own file", facts(false, true, 1, O::runningAccount), V::append},
        {"root's or SYSTEM's file", facts(false, true, 1, O::system), V::append},
        {"the Administrators' file", facts(false, true, 1, O::administrators), V::append},
        {"another account's file", facts(false, true, 1, O::other), V::foreignOwner},
        {"a second name of an own file", facts(false, true, 2, O::runningAccount), V::severalNames},
        {"a second name of another's file", facts(false, true, 2, O::other), V::severalNames},
        {"a file with no name left", facts(false, true, 0, O::runningAccount), V::severalNames},
        {"a directory or pipe", facts(false, false, 1, O::runningAccount), V::notRegularFile},
        {"an own link", facts(true, true, 1, O::runningAccount), V::link},
        {"a link that fails every rule", facts(true, false, 3, O::other), V::link},
    };
    for (const VerdictCase& c : cases) {
        EXPECT_EQ(static_cast<int>(judgeLogFile(c.facts)), static_cast<int>(c.expected)) << c.what;
    }
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class LogFileOpen : public TarnwickTest {
protected:
    std::string logPath() const { return tempDir_ + "/tarnwick.log"; }

    // Writes one line through the log and gives what it said on stderr.
    std::string logOneLine() {
        testing::internal::CaptureStderr();
        logLine() << L"a line\n";
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(LogFileOpen, ANewLogIsReadableByItsOwnerOnly) {
    const mode_t old = umask(0);
    const std::string said = logOneLine();
    umask(old);
    EXPECT_EQ(said, "");
    struct stat status {};
    ASSERT_EQ(lstat(logPath().c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, geteuid());
    EXPECT_EQ(logMessages(), std::vector<std::string>{"a line"});
}

TEST_F(LogFileOpen, AnOwnEarlierLogIsAppendedToAsItIs) {
    writeFile(logPath(), "earlier run\r\n");
    chmod(logPath().c_str(), 0640);
    EXPECT_EQ(logOneLine(), "");
    EXPECT_EQ(logBytes().substr(0, 13), "earlier run\r\n");
    EXPECT_EQ(logBytes().substr(13 + 26), "a line\r\n");
    struct stat status {};
    ASSERT_EQ(stat(logPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u) << "an existing log keeps its mode";
}

TEST_F(LogFileOpen, LinksSecondNamesAndPipesGetNoLineAndOneNoteOnStderr) {
    struct Case {
        const char* what;
        void (*plant)(const std::string& log, const std::string& target);
        const char* says;
    };
    const Case cases[] = {
        {"symbolic link to a file", [](const std::string& log, const std::string& t) { symlink(t.c_str(), log.c_str()); },
         "is a symbolic link or reparse point"},
        {"dangling symbolic link",
         [](const std::string& log, const std::string& t) {
             unlink(t.c_str());
             symlink(t.c_str(), log.c_str());
         },
         "is a symbolic link or reparse point"},
        {"hard link", [](const std::string& log, const std::string& t) { link(t.c_str(), log.c_str()); },
         "does not have exactly one name (hard links)"},
        {"FIFO without a reader", [](const std::string& log, const std::string&) { mkfifo(log.c_str(), 0666); },
         "is not a regular file"},
    };
    for (const Case& c : cases) {
        SetUp();
        SCOPED_TRACE(c.what);
        const std::string log = tempDir_ + "/tarnwick.log";
        const std::string other = tempDir_ + "/target";
        writeFile(other, "not a log\n");
        c.plant(log, other);
        const std::string said = logOneLine();
        EXPECT_EQ(said, "tarnwick: not writing the log: \"" + log + "\" " + c.says + "\n");
        struct stat status {};
        if (stat(other.c_str(), &status) == 0) {
            EXPECT_EQ(fileBytes(other), "not a log\n");
        } else {
            EXPECT_EQ(errno, ENOENT) << "the link's target was created";
        }
        // Later lines of the run are lost as well, and the note is not repeated.
        testing::internal::CaptureStderr();
        logLine() << L"another line\n";
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(fileBytes(other).find("line"), std::string::npos);
    }
}

TEST_F(LogFileOpen, APipeWithAReaderIsRefusedWithoutBlocking) {
    const std::string log = logPath();
    ASSERT_EQ(mkfifo(log.c_str(), 0666), 0);
    const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(logOneLine(), "tarnwick: not writing the log: \"" + log + "\" is not a regular file\n");
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0) << "something was written into the pipe";
    close(reader);
}

TEST_F(LogFileOpen, AFolderThatCannotHoldTheLogIsSilentAsAMissingOne) {
    // A directory in the log's place cannot be opened for writing at all:
    // nothing to say, as for a missing temporary folder.
    ASSERT_EQ(mkdir(logPath().c_str(), 0700), 0);
    EXPECT_EQ(logOneLine(), "");
}

}  // namespace
