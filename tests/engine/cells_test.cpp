// Where cells go: freed space is taken again (a hive does not grow over sets
// and deletes), a set dirties few pages, and it is fast.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "engine_test_support.h"
#include "windows_hives.h"

using namespace enginetest;

namespace {

std::vector<unsigned char> imageOf(regf::Hive& hive) {
    return std::vector<unsigned char>(hive.image(), hive.image() + hive.imageSize());
}

std::unique_ptr<regf::Hive> hiveWithKey(std::vector<unsigned char> image, const std::u16string& name, regf::KeyRef& key) {
    std::unique_ptr<regf::Hive> hive = openHive(std::move(image), true);
    if (hive) {
        const LONG added = hive->addChild(hive->root(), name, key);
        if (added != ERROR_SUCCESS && added != ERROR_ALREADY_EXISTS) {
            return nullptr;
        }
    }
    return hive;
}

}  // namespace

TEST(EngineCells, SetsAndDeletesReuseTheSpaceTheyFree) {
    // hivex grew a 16 KiB hive to 816 KiB over 100 sets and deletes of one value.
    for (std::size_t size : {4u, 100u, 3000u, 16344u, 40000u, 200000u}) {
        SCOPED_TRACE(size);
        regf::KeyRef key = 0;
        std::unique_ptr<regf::Hive> hive = hiveWithKey(emptyHive(5), u"Software", key);
        ASSERT_NE(hive, nullptr);
        const std::size_t start = hive->imageSize();
        std::vector<unsigned char> data(size, 0x11);
        std::size_t afterFirst = 0;
        for (int round = 0; round < 100; ++round) {
            data[0] = static_cast<unsigned char>(round);
            ASSERT_EQ(hive->setValue(key, regf::newValue, u"Value", 3, data.data(), data.size() - round % 3), ERROR_SUCCESS);
            ASSERT_EQ(hive->setValue(key, 0, u"Value", 3, data.data(), data.size()), ERROR_SUCCESS);
            ASSERT_EQ(hive->deleteValue(key, 0), ERROR_SUCCESS);
            if (round == 0) {
                afterFirst = hive->imageSize();
            }
        }
        EXPECT_EQ(hive->imageSize(), afterFirst);
        if (size <= 3000) {
            EXPECT_LE(hive->imageSize(), start + 4096);
        }
        std::printf("value of %zu bytes: hive of %zu bytes, %zu after one set and delete, %zu after 100\n", size, start,
                    afterFirst, hive->imageSize());
    }
}

// A set in a key that exists writes its cells near the key: at most two
// pages of the bins change, whatever the size of the hive.
void expectFewPagesDirtied(const std::vector<unsigned char>& image, const std::u16string& keyName) {
    for (std::size_t size : {0u, 4u, 100u, 2000u}) {
        for (bool replace : {false, true}) {
            SCOPED_TRACE("size " + std::to_string(size) + (replace ? ", replacing" : ", new"));
            regf::KeyRef key = 0;
            std::unique_ptr<regf::Hive> prepared = hiveWithKey(image, keyName, key);
            ASSERT_NE(prepared, nullptr);
            const std::vector<unsigned char> data(size, 0x22);
            for (int i = 0; i < 3; ++i) {
                const std::u16string name = u"Existing" + std::u16string(1, static_cast<char16_t>(u'0' + i));
                ASSERT_EQ(prepared->setValue(key, regf::newValue, name, 1, data.data(), size), ERROR_SUCCESS);
            }
            prepared->finishBaseBlock(2, 0);
            std::unique_ptr<regf::Hive> hive = hiveWithKey(imageOf(*prepared), keyName, key);
            ASSERT_NE(hive, nullptr);
            ASSERT_TRUE(hive->dirtyPages().empty());
            ASSERT_EQ(hive->setValue(key, regf::newValue, replace ? u"EXISTING1" : u"Another", 4, data.data(), size),
                      ERROR_SUCCESS);
            EXPECT_LE(hive->dirtyPages().size(), 2u);
        }
    }
}

TEST(EngineCells, SetDirtiesAtMostTwoPages) { expectFewPagesDirtied(emptyHive(5), u"Software"); }

class EngineWindowsCells : public ::testing::Test {
protected:
    void SetUp() override { TARNWICK_NEEDS_WINDOWS_HIVES(); }
};

TEST_F(EngineWindowsCells, SetDirtiesAtMostTwoPagesOfAWindowsHive) {
    // A key of Windows' among 5,000 others; and one in the hive's first bin.
    const std::vector<unsigned char> many = readFile(std::string(TARNWICK_WINDOWS_HIVES) + "/ManySubkeysHive");
    std::unique_ptr<regf::Hive> hive = openHive(many, true);
    ASSERT_NE(hive, nullptr);
    regf::KeyRef parent = 0;
    ASSERT_EQ(hive->childAt(hive->root(), 0, parent), ERROR_SUCCESS);
    std::u16string parentName;
    ASSERT_EQ(hive->keyName(parent, parentName), ERROR_SUCCESS);
    expectFewPagesDirtied(many, parentName);
}

TEST(EngineCells, ThousandSetsInAHundredKeysTakeWellUnderAMillisecond) {
    std::unique_ptr<regf::Hive> hive = openHive(emptyHive(5), true);
    ASSERT_NE(hive, nullptr);
    std::vector<regf::KeyRef> keys(100);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t k = 0; k < keys.size(); ++k) {
        ASSERT_EQ(hive->addChild(hive->root(), u"Key" + std::u16string(1, static_cast<char16_t>(0x4E00 + k)), keys[k]),
                  ERROR_SUCCESS);
    }
    const auto keysMade = std::chrono::steady_clock::now();
    const unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<std::u16string> names;
    for (int i = 0; i < 10; ++i) {
        names.push_back(u"Value" + std::u16string(1, static_cast<char16_t>(u'A' + i)));
    }
    const auto valuesStart = std::chrono::steady_clock::now();
    for (const std::u16string& name : names) {
        for (regf::KeyRef key : keys) {
            ASSERT_EQ(hive->setValue(key, regf::newValue, name, 3, data, sizeof data), ERROR_SUCCESS);
        }
    }
    const auto done = std::chrono::steady_clock::now();
    using Micro = std::chrono::duration<double, std::micro>;
    std::printf("100 keys made in %.0f us, 1,000 values set in them in %.0f us\n", Micro(keysMade - start).count(),
                Micro(done - valuesStart).count());
    // Generous, for sanitizer and debug builds too; work that grows with the
    // hive at every set would not pass it.
    EXPECT_LT(Micro(done - valuesStart).count(), 20000.0);
}
