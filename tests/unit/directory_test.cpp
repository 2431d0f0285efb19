// The Linux file helpers: a temporary file is gone unless it was committed, and
// a folder lists the same through any descriptor.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/linux/directory.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

class LinuxFiles : public TarnwickTest {
protected:
    void SetUp() override {
        TarnwickTest::SetUp();
        folder_ = UniqueFd(open(tempDir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(folder_);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        EXPECT_TRUE(listDirectory(folder_.get(), found));
        std::sort(found.begin(), found.end());
        return found;
    }
    UniqueFd folder_;
};

TEST_F(LinuxFiles, TemporaryFileIsRemovedUnlessCommitted) {
    std::ofstream(tempDir_ + "/hive") << "old";
    {
        TemporaryFile file;
        ASSERT_TRUE(file.create(folder_.get(), "hive.tmp", 0600));
        EXPECT_EQ(write(file.fd(), "new", 3), 3);
        // A second file of the same name is never made over the first.
        TemporaryFile again;
        EXPECT_FALSE(again.create(folder_.get(), "hive.tmp", 0600));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(names(), (std::vector<std::string>{"hive", "hive.tmp"}));
    }
    EXPECT_EQ(names(), std::vector<std::string>{"hive"});
    {
        TemporaryFile file;
        ASSERT_TRUE(file.create(folder_.get(), "hive.tmp", 0600));
        EXPECT_EQ(write(file.fd(), "new", 3), 3);
        ASSERT_TRUE(file.commit("hive"));
    }
    EXPECT_EQ(names(), std::vector<std::string>{"hive"});
    std::string text;
    std::ifstream(tempDir_ + "/hive") >> text;
    EXPECT_EQ(text, "new");
}

TEST_F(LinuxFiles, ListingDoesNotDependOnTheCallersOffset) {
    for (const char* name : {"b", "a", "c"}) {
        std::ofstream(tempDir_ + "/" + name) << name;
    }
    const std::vector<std::string> all = {"a", "b", "c"};
    EXPECT_EQ(names(), all);
    // Listed twice through the same descriptor: still all of them.
    EXPECT_EQ(names(), all);
    std::vector<std::string> none;
    EXPECT_FALSE(listDirectory(-1, none));
}

}  // namespace
