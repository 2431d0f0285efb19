// Values in a key of 1,000: found and replaced without memory allocated for
// each value compared (the whole program's operator new is counted here).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine_test_support.h"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

using namespace enginetest;

TEST(EngineValues, AKeyOfAThousandValuesAllocatesNothingPerValue) {
    std::unique_ptr<regf::Hive> hive = openHive(emptyHive(5), true);
    ASSERT_NE(hive, nullptr);
    regf::KeyRef key = 0;
    ASSERT_EQ(hive->addChild(hive->root(), u"Many", key), ERROR_SUCCESS);
    std::vector<std::u16string> names;
    for (int i = 0; i < 1000; ++i) {
        names.push_back(u"Value number " + std::u16string(1, static_cast<char16_t>(0x4E00 + i)));
    }
    const unsigned char data[12] = {};
    for (const std::u16string& name : names) {
        ASSERT_EQ(hive->setValue(key, regf::newValue, name, 3, data, sizeof data), ERROR_SUCCESS);
    }
    const std::u16string last = u"VALUE NUMBER " + std::u16string(1, static_cast<char16_t>(0x4E00 + 999));
    bool found = false;
    std::uint32_t index = 0;
    const std::size_t before = allocations;
    ASSERT_EQ(hive->findValue(key, last, found, index), ERROR_SUCCESS);
    EXPECT_EQ(allocations - before, 0u) << "finding the last of 1,000 values";
    ASSERT_TRUE(found);
    EXPECT_EQ(index, 999u);
    // The first replacement sizes the engine's reusable lists of cells.
    ASSERT_EQ(hive->setValue(key, regf::newValue, last, 4, data, sizeof data), ERROR_SUCCESS);
    const std::size_t beforeSets = allocations;
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(hive->setValue(key, regf::newValue, last, 4, data, 4 + round), ERROR_SUCCESS);
    }
    EXPECT_EQ(allocations - beforeSets, 0u) << "replacing the last of 1,000 values ten times";
}
