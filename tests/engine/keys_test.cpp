// Subkey lists as Windows builds them: the leaves of an ri split where and
// how Windows splits them, measured on a hive Windows wrote.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_test_support.h"
#include "platform/offline/replay/regf_fields.h"
#include "windows_hives.h"

using namespace enginetest;

namespace {

// The leaves under the ri of the root's first subkey: each one's signature,
// entry count and first name, read from the bytes without the engine.
std::vector<std::string> leavesOf(const std::vector<unsigned char>& image) {
    auto at = [&](std::uint32_t offset) { return &image[4096 + offset]; };
    auto word = [&](std::uint32_t offset) { return static_cast<std::uint32_t>(at(offset)[0] | at(offset)[1] << 8); };
    const std::uint32_t key = hivelog::readDword(at(hivelog::readDword(at(hivelog::readDword(&image[36]) + 32)) + 8));
    const std::uint32_t list = hivelog::readDword(at(key + 32));
    std::vector<std::string> leaves{std::string(reinterpret_cast<const char*>(at(key + 80)), word(key + 76))};
    for (std::uint32_t i = 0; std::memcmp(at(list + 4), "ri", 2) == 0 && i < word(list + 6); ++i) {
        const std::uint32_t leaf = hivelog::readDword(at(list + 8 + 4 * i));
        const std::uint32_t first = hivelog::readDword(at(leaf + 8));
        leaves.push_back(std::string(reinterpret_cast<const char*>(at(leaf + 4)), 2) + " " +
                         std::to_string(word(leaf + 6)) + " from " +
                         std::string(reinterpret_cast<const char*>(at(first + 80)), word(first + 76)));
    }
    return leaves;
}

}  // namespace

class EngineWindowsKeys : public ::testing::Test {
protected:
    void SetUp() override { TARNWICK_NEEDS_WINDOWS_HIVES(); }
};

// Windows made key_with_many_subkeys's 5,000 subkeys "1" to "5000" in that
// order: its ri holds 9 li leaves of 506 keys, one of 951 and the last of
// 507. Emptied down to its first key and filled again in the same order, the
// key must come out with the same leaves, each starting at the same name.
TEST_F(EngineWindowsKeys, LeavesSplitAsWindowsSplitsThem) {
    const std::vector<unsigned char> original = readFile(std::string(TARNWICK_WINDOWS_HIVES) + "/ManySubkeysHive");
    const std::vector<std::string> windows = leavesOf(original);
    ASSERT_EQ(windows.size(), 10u);
    EXPECT_EQ(windows[8], "li 951 from 4187");

    std::unique_ptr<regf::Hive> hive = openHive(original, true);
    ASSERT_NE(hive, nullptr);
    regf::KeyRef parent = 0;
    ASSERT_EQ(hive->findChild(hive->root(), u"KEY_WITH_MANY_SUBKEYS", parent), ERROR_SUCCESS);
    std::vector<std::u16string> names;
    for (int n = 2; n <= 5000; ++n) {
        const std::string digits = std::to_string(n);
        names.emplace_back(digits.begin(), digits.end());
    }
    regf::KeyRef child = 0;
    for (const std::u16string& name : names) {
        ASSERT_EQ(hive->findChild(parent, name, child), ERROR_SUCCESS);
        ASSERT_EQ(hive->deleteKeyTree(child), ERROR_SUCCESS);
    }
    for (const std::u16string& name : names) {
        ASSERT_EQ(hive->addChild(parent, name, child), ERROR_SUCCESS);
    }
    EXPECT_EQ(leavesOf(imageOf(*hive)), windows);
}
