#include "platform/offline/replay/marvin32.h"

#include <gtest/gtest.h>

#include <string>

#include "replay_test_support.h"
#include "windows_hives.h"

namespace {

TEST(Marvin32, PublishedVectors) {
    std::string fortyBytes;
    for (int i = 0; i < 40; ++i) {
        fortyBytes += static_cast<char>(i);
    }
    const struct {
        std::string data;
        std::uint64_t hash;
    } cases[] = {
        {"", 0xb39efca403966e08ull},   {"a", 0x21a013c726f292f4ull},   {"ab", 0x7911da00317285f8ull},
        {"abc", 0xb9cf3dfca41914f7ull}, {"abcd", 0x20094fb11a6cd086ull}, {fortyBytes, 0x2366e1bab67b6ea3ull},
    };
    for (const auto& c : cases) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.data.data());
        EXPECT_EQ(hivelog::marvin32(bytes, c.data.size()), c.hash) << c.data.size() << " bytes";
    }
}

class WindowsWrittenMarvin32 : public ::testing::Test {
protected:
    void SetUp() override { TARNWICK_NEEDS_WINDOWS_HIVES(); }
};

// The hashes stored in an entry that Windows wrote, recomputed.
TEST_F(WindowsWrittenMarvin32, HashesOfAnEntry) {
    const auto log = readBytes(windowsHive("NewDirtyHive1/NewDirtyHive.LOG1"));
    ASSERT_GE(log.size(), 1024u);
    const std::size_t size = dwordAt(log, 512 + 4);
    ASSERT_LE(512 + size, log.size());
    const std::uint64_t hash1 = hivelog::marvin32(log.data() + 512 + 40, size - 40);
    const std::uint64_t hash2 = hivelog::marvin32(log.data() + 512, 32);
    EXPECT_EQ(hash1, 0x67866c661807e431ull);
    EXPECT_EQ(hash2, 0xcd44f3cfa7657f02ull);
    EXPECT_EQ(hash1, qwordAt(log, 512 + 24));
    EXPECT_EQ(hash2, qwordAt(log, 512 + 32));
}

}  // namespace
