#include <gtest/gtest.h>

#include "platform/offline/replay/hive_log.h"

namespace {

using hivelog::findLogNames;

TEST(LogNames, PickedWithoutRegardToCase) {
    const struct {
        const char* name;
        std::string hive;
        std::vector<std::string> folder;
        hivelog::LogNames expected;
    } cases[] = {
        {"Windows' usual spelling", "NTUSER.DAT",
         {"NTUSER.DAT", "ntuser.dat.LOG1", "ntuser.dat.LOG2", "ntuser.ini"},
         {"ntuser.dat.LOG1", "ntuser.dat.LOG2", ""}},
        {"all three, any case", "SOFTWARE", {"software.log", "SOFTWARE.Log2", "Software.LOG1", "SOFTWARE"},
         {"Software.LOG1", "SOFTWARE.Log2", "software.log"}},
        {"the exact spelling wins", "NTUSER.DAT", {"ntuser.dat.log1", "NTUSER.DAT.LOG1", "NTUSER.DAT.log1"},
         {"NTUSER.DAT.LOG1", "", ""}},
        {"else the first in byte order", "NTUSER.DAT", {"ntuser.dat.log1", "NTUSER.dat.Log1"},
         {"NTUSER.dat.Log1", "", ""}},
        {"longer names are other files", "UsrClass.dat",
         {"UsrClass.dat.LOG10", "UsrClass.dat.LOG1.bak", "UsrClass.dat{a1}.TM.blf", "xUsrClass.dat.LOG2"},
         {"", "", ""}},
        {".LOG is not .LOG1", "SAM", {"SAM.LOG"}, {"", "", "SAM.LOG"}},
        {"no logs", "SAM", {"SAM", "SECURITY.LOG1"}, {"", "", ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const hivelog::LogNames names = findLogNames(c.hive, c.folder);
        EXPECT_EQ(names.log1, c.expected.log1);
        EXPECT_EQ(names.log2, c.expected.log2);
        EXPECT_EQ(names.log, c.expected.log);
    }
}

TEST(LogNames, CallerComparisonIsUsed) {
    // A comparison that matches nothing leaves exact spellings only.
    const auto exactOnly = [](const std::string&, const std::string&) { return false; };
    const hivelog::LogNames names = findLogNames("NTUSER.DAT", {"ntuser.dat.LOG1", "NTUSER.DAT.LOG2"}, exactOnly);
    EXPECT_EQ(names.log1, "");
    EXPECT_EQ(names.log2, "NTUSER.DAT.LOG2");
}

}  // namespace
