// Subkey lists as Windows builds them: the leaves of an ri split where and
// how Windows splits them, measured on a hive Windows wrote.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_test_support.h"
#include "windows_hives.h"

using namespace enginetest;

namespace {

std::uint32_t dword(const std::vector<unsigned char>& image, std::uint32_t binsOffset) {
    std::uint32_t value = 0;
    std::memcpy(&value, image.data() + 4096 + binsOffset, 4);
    return value;
}

std::uint16_t word(const std::vector<unsigned char>& image, std::uint32_t binsOffset) {
    return static_cast<std::uint16_t>(image[4096 + binsOffset] | image[4096 + binsOffset + 1] << 8);
}

// The leaves under a key's ri: each leaf's signature, entry count and first
// name, read from the bytes without the engine.
std::vector<std::string> leavesOf(const std::vector<unsigned char>& image, std::uint32_t key) {
    std::vector<std::string> leaves;
    const std::uint32_t list = dword(image, key + 32);
    if (std::memcmp(image.data() + 4096 + list + 4, "ri", 2) != 0) {
        return {"not an ri"};
    }
    for (std::uint16_t i = 0; i < word(image, list + 6); ++i) {
        const std::uint32_t leaf = dword(image, list + 8 + 4 * i);
        const std::uint32_t first = dword(image, leaf + 8);
        const char* name = reinterpret_cast<const char*>(image.data() + 4096 + first + 80);
        leaves.push_back(std::string(reinterpret_cast<const char*>(image.data() + 4096 + leaf + 4), 2) + " " +
                         std::to_string(word(image, leaf + 6)) + " from " + std::string(name, word(image, first + 76)));
    }
    return leaves;
}

std::uint32_t keyCell(const std::vector<unsigned char>& image, const char* name) {
    // The root's first subkey, when it has that name.
    std::uint32_t rootCell = 0;
    std::memcpy(&rootCell, image.data() + 36, 4);
    const std::uint32_t list = dword(image, rootCell + 32);
    const std::uint32_t child = dword(image, list + 8);
    return std::memcmp(image.data() + 4096 + child + 80, name, std::strlen(name)) == 0 ? child : 0;
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
    const std::uint32_t windowsKey = keyCell(original, "key_with_many_subkeys");
    ASSERT_NE(windowsKey, 0u);
    const std::vector<std::string> windows = leavesOf(original, windowsKey);
    ASSERT_EQ(windows.size(), 9u);
    EXPECT_EQ(windows[7], "li 951 from 4187");

    std::unique_ptr<regf::Hive> hive = openHive(original, true);
    ASSERT_NE(hive, nullptr);
    regf::KeyRef parent = 0;
    ASSERT_EQ(hive->findChild(hive->root(), u"KEY_WITH_MANY_SUBKEYS", parent), ERROR_SUCCESS);
    auto name = [](int n) {
        const std::string digits = std::to_string(n);
        return std::u16string(digits.begin(), digits.end());
    };
    for (int n = 2; n <= 5000; ++n) {
        regf::KeyRef child = 0;
        ASSERT_EQ(hive->findChild(parent, name(n), child), ERROR_SUCCESS) << n;
        ASSERT_EQ(hive->deleteKeyTree(child), ERROR_SUCCESS) << n;
    }
    std::uint32_t count = 0;
    ASSERT_EQ(hive->childCount(parent, count), ERROR_SUCCESS);
    ASSERT_EQ(count, 1u);
    for (int n = 2; n <= 5000; ++n) {
        regf::KeyRef child = 0;
        ASSERT_EQ(hive->addChild(parent, name(n), child), ERROR_SUCCESS) << n;
    }
    const std::vector<unsigned char> after(hive->image(), hive->image() + hive->imageSize());
    EXPECT_EQ(leavesOf(after, windowsKey), windows);
}
