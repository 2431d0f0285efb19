// A write through the log that fails: before the hive is marked dirty it
// leaves the file as it was; after, a dirty hive whose log replays it to the
// new one. The failures are made real with the file size limit
// (RLIMIT_FSIZE), which fails a write beyond it with EFBIG.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "log_writer.h"
#include "offline_test_support.h"
#include "platform/linux/unique_handle.h"
#include "platform/offline/in_place.h"
#include "platform/offline/replay/hive_log.h"

namespace {

using logwriter::Bytes;

// Writes below `limit` bytes of any file only, while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        handler_ = signal(SIGXFSZ, SIG_IGN);
        const rlimit lowered{limit, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, handler_);
    }

private:
    rlimit saved_{};
    sighandler_t handler_ = SIG_DFL;
};

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

hivelog::ByteView view(const std::string& bytes) {
    return {reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()};
}

TEST(WriteThroughLog, AFailedWriteLeavesTheOldHiveOrOneItsLogReplaysToTheNew) {
    // Nine pages; the new hive changes the second bin and grows by four bins.
    const Bytes old = logwriter::minimalHive(8);
    Bytes grown = logwriter::minimalHive(12);
    grown[4096 + 4096 + 64] = 0x5A;
    logwriter::setSequences(grown, 8, 8);
    const std::uint32_t entrySequence = 7;
    struct Case {
        const char* what;
        rlim_t limit;
        bool marked;  // the failure came after the hive was marked dirty
    };
    const Case cases[] = {
        {"the log cannot be written", 4096, false},
        {"the growth of the hive cannot be written", old.size() + 4096, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string folder = testing::TempDir() + "/tarnwick-in-place";
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        writeBytes(folder + "/NTUSER.DAT", text(old));
        writeBytes(folder + "/NTUSER.DAT.LOG1", text(logwriter::newFormatLog(old, 6, {})));
        const UniqueFd hive(open((folder + "/NTUSER.DAT").c_str(), O_RDWR | O_CLOEXEC));
        const UniqueFd log(open((folder + "/NTUSER.DAT.LOG1").c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(hive && log);
        // The second bin's page and the four pages the growth adds.
        const std::vector<std::uint32_t> dirty = {1, 8, 9, 10, 11};
        LONG status = ERROR_SUCCESS;
        {
            const FileSizeLimit limit(c.limit);
            status = offline::writeThroughLog(hive.get(), log.get(), grown.data(), grown.size(), dirty, entrySequence);
        }
        EXPECT_NE(status, ERROR_SUCCESS);
        const std::string after = fileBytes(folder + "/NTUSER.DAT");
        if (!c.marked) {
            EXPECT_EQ(after, text(old)) << "the hive was touched";
            continue;
        }
        ASSERT_FALSE(hivelog::baseBlockIsClean(view(after)));
        const std::string logBytes = fileBytes(folder + "/NTUSER.DAT.LOG1");
        const hivelog::ReplayResult result =
            hivelog::replayHive(view(after), {{hivelog::LogRole::log1, view(logBytes)}});
        ASSERT_EQ(result.outcome, hivelog::ReplayOutcome::replayed) << result.reason;
        EXPECT_TRUE(std::equal(grown.begin() + 4096, grown.end(), result.hive.begin() + 4096))
            << "the replayed bins are not the new hive's";
    }
}

}  // namespace
