// The engine against two independent readers: random sequences of changes
// (keys with names from all of Unicode, values of every type and of sizes
// around the inline, one-cell and big-data limits, deletions of values and
// of whole trees) applied to hives Windows wrote and to empty ones, then the
// result read by the engine, by hivex and by regfexport and compared with a
// model of what the sequence should give.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>

#include "engine_test_support.h"
#include "windows_hives.h"

using namespace enginetest;

namespace {

using Path = std::vector<std::u16string>;

class Sequence {
public:
    Sequence(regf::Hive& hive, TreeKey model, std::uint32_t seed, bool hugeValues)
        : hive_(hive), model_(std::move(model)), random_(seed), hugeValues_(hugeValues) {}

    const TreeKey& model() const { return model_; }
    const std::vector<regf::KeyRef>& deleted() const { return deleted_; }

    void run(int steps) {
        for (int step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
            const unsigned pick = below(100);
            if (pick < 30) {
                addKey();
            } else if (pick < 72) {
                setValue();
            } else if (pick < 88) {
                deleteValue();
            } else if (pick < 94) {
                deleteTree();
            } else if (pick < 95) {
                // Enough keys under one parent to split its lists under an ri.
                const Path parent = anyKey();
                for (int i = 0; i < 1100 && !::testing::Test::HasFailure(); ++i) {
                    addKeyUnder(parent, name(12, false));
                }
            } else {
                addKeyUnder(busiestKey(), name(12, false));
            }
        }
    }

private:
    unsigned below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }

    char16_t unit() {
        switch (below(8)) {
        case 0:
        case 1:
        case 2: {
            static const char16_t ascii[] = u"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-.{}[]~!";
            return ascii[below(sizeof ascii / sizeof ascii[0] - 1)];
        }
        case 3:  // Latin-1, without the C1 controls (regfexport reads compressed names as windows-1252)
            return static_cast<char16_t>(0xA0 + below(0x60));
        case 4:  // Latin Extended-A, Greek, Cyrillic: the letters the upcase mapping changes
            return static_cast<char16_t>(below(3) == 0 ? 0x100 + below(0x80) : below(2) == 0 ? 0x391 + below(0x39) : 0x400 + below(0x60));
        case 5:  // elsewhere in the BMP, below the surrogates
            return static_cast<char16_t>(0x180 + below(0xD7FF - 0x180));
        case 6:  // CJK and the rest above the surrogates, short of the noncharacters
            return static_cast<char16_t>(0xE000 + below(0xFDD0 - 0xE000));
        default:
            return 0;  // a surrogate pair, made by the caller
        }
    }

    std::u16string name(unsigned longest, bool mayBeEmpty) {
        if (mayBeEmpty && below(12) == 0) {
            return u"";
        }
        const unsigned length = below(40) == 0 ? longest : 1 + below(std::min(longest, 12u));
        std::u16string out;
        while (out.size() < length) {
            const char16_t c = unit();
            if (c != 0) {
                out += c;
            } else if (out.size() + 2 <= length) {
                const std::uint32_t code = 0x10000 + below(0xFFFFE - 0x10000);
                out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
                out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
            }
        }
        if (out == u"(default)") {
            out += u"x";
        }
        return out;
    }

    void keys(const TreeKey& key, Path& path, std::vector<Path>& out) const {
        out.push_back(path);
        for (const auto& [upper, child] : key.children) {
            path.push_back(child.name);
            keys(child, path, out);
            path.pop_back();
        }
    }

    Path anyKey() {
        std::vector<Path> all;
        Path path;
        keys(model_, path, all);
        return all[below(static_cast<unsigned>(all.size()))];
    }

    Path busiestKey() {
        std::vector<Path> all;
        Path path;
        keys(model_, path, all);
        Path best;
        std::size_t most = 0;
        for (const Path& candidate : all) {
            if (modelKey(candidate).children.size() >= most) {
                most = modelKey(candidate).children.size();
                best = candidate;
            }
        }
        return best;
    }

    TreeKey& modelKey(const Path& path) {
        TreeKey* key = &model_;
        for (const std::u16string& part : path) {
            key = &key->children.at(upcased(part));
        }
        return *key;
    }

    regf::KeyRef engineKey(const Path& path) {
        regf::KeyRef ref = hive_.root();
        for (const std::u16string& part : path) {
            regf::KeyRef child = 0;
            // Looked up in another case than it was made with, as Windows allows.
            const std::u16string asked = below(2) == 0 ? upcased(part) : part;
            EXPECT_EQ(hive_.findChild(ref, asked, child), ERROR_SUCCESS) << utf8(part);
            ref = child;
        }
        return ref;
    }

    void addKeyUnder(const Path& parent, const std::u16string& keyName) {
        regf::KeyRef child = 0;
        TreeKey& key = modelKey(parent);
        const bool exists = key.children.count(upcased(keyName)) != 0;
        const LONG status = hive_.addChild(engineKey(parent), keyName, child);
        ASSERT_EQ(status, exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS) << utf8(keyName);
        if (!exists) {
            TreeKey made;
            made.name = keyName;
            key.children.emplace(upcased(keyName), std::move(made));
        }
    }

    void addKey() { addKeyUnder(anyKey(), name(below(30) == 0 ? 255 : 12, false)); }

    std::size_t dataSize() {
        static const std::size_t sizes[] = {0, 1, 3, 4, 5, 8, 100, 4000, 16343, 16344, 16345, 2 * 16344, 2 * 16344 + 1, 50000};
        if (hugeValues_ && below(40) == 0) {
            return (1u << 20) + below(3);
        }
        return below(3) == 0 ? below(300) : sizes[below(sizeof sizes / sizeof sizes[0])];
    }

    void setValue() {
        const Path path = anyKey();
        TreeKey& key = modelKey(path);
        std::u16string valueName = name(below(30) == 0 ? 16383 : 12, true);
        if (!key.values.empty() && below(3) == 0) {
            // The name of a value that exists, in another case.
            valueName = upcased(key.values[below(static_cast<unsigned>(key.values.size()))].name);
        }
        const std::uint32_t type = below(5) == 0 ? static_cast<std::uint32_t>(random_()) : below(12);
        std::vector<unsigned char> data(dataSize());
        for (unsigned char& byte : data) {
            byte = static_cast<unsigned char>(random_());
        }
        ASSERT_EQ(hive_.setValue(engineKey(path), regf::newValue, valueName, type, data.data(), data.size()), ERROR_SUCCESS);
        for (TreeValue& value : key.values) {
            if (upcased(value.name) == upcased(valueName)) {
                value.type = type;
                value.data = std::move(data);
                return;
            }
        }
        key.values.push_back(TreeValue{valueName, type, std::move(data), true});
    }

    void deleteValue() {
        const Path path = anyKey();
        TreeKey& key = modelKey(path);
        if (key.values.empty()) {
            return;
        }
        const unsigned index = below(static_cast<unsigned>(key.values.size()));
        bool found = false;
        std::uint32_t at = 0;
        const regf::KeyRef ref = engineKey(path);
        ASSERT_EQ(hive_.findValue(ref, key.values[index].name, found, at), ERROR_SUCCESS);
        ASSERT_TRUE(found);
        ASSERT_EQ(at, index);
        ASSERT_EQ(hive_.deleteValue(ref, at), ERROR_SUCCESS);
        key.values.erase(key.values.begin() + index);
    }

    void deleteTree() {
        Path path = anyKey();
        if (path.empty()) {
            return;
        }
        const regf::KeyRef ref = engineKey(path);
        ASSERT_EQ(hive_.deleteKeyTree(ref), ERROR_SUCCESS);
        deleted_.push_back(ref);
        const std::u16string last = path.back();
        path.pop_back();
        modelKey(path).children.erase(upcased(last));
    }

    regf::Hive& hive_;
    TreeKey model_;
    std::mt19937 random_;
    bool hugeValues_ = false;
    std::vector<regf::KeyRef> deleted_;
};

// Applies a random sequence to the image and checks the result with every
// reader. The hive's own tree is first read by hivex, which also checks the
// engine's reading of the untouched hive. Values of 1 MiB come in runs of an
// odd seed, and regfexport reads the others (it takes seconds to print 1 MiB).
void runDifferential(const std::vector<unsigned char>& original, const std::string& label, std::uint32_t seed,
                     bool regfexportReadsNames) {
    const bool hugeValues = seed % 2 == 1;
    const bool withRegfexport = regfexportReadsNames && !hugeValues;
    SCOPED_TRACE(label + ", seed " + std::to_string(seed));
    ASSERT_FALSE(original.empty());
    std::string error;
    TreeKey before;
    ASSERT_TRUE(readWithHivex(writeTemporary(original.data(), original.size(), label + ".before"), before, error)) << error;
    std::unique_ptr<regf::Hive> hive = openHive(original, true);
    ASSERT_NE(hive, nullptr);
    TreeKey engineBefore;
    ASSERT_TRUE(readWithEngine(*hive, engineBefore, error)) << error;
    ASSERT_EQ(difference(describe(engineBefore), describe(before)), "");

    Sequence sequence(*hive, before, seed, hugeValues);
    sequence.run(150);
    ASSERT_FALSE(::testing::Test::HasFailure());
    ASSERT_FALSE(hive->broken());
    for (regf::KeyRef ref : sequence.deleted()) {
        std::u16string ignored;
        EXPECT_EQ(hive->keyName(ref, ignored), ERROR_KEY_DELETED);
    }

    const std::string expected = describe(sequence.model());
    TreeKey after;
    ASSERT_TRUE(readWithEngine(*hive, after, error)) << error;
    EXPECT_EQ(difference(describe(after), expected), "") << "engine";

    // Every page that differs from the original is among the dirty ones: the
    // write-back writes those alone.
    hive->finishBaseBlock(7, 0x01D0000000000000ull);
    const std::vector<std::uint32_t> dirty = hive->dirtyPages();
    const unsigned char* image = hive->image();
    const std::size_t bins = hive->imageSize() - 4096;
    const std::size_t originalBins = static_cast<std::size_t>(original[40] | original[41] << 8 | original[42] << 16 |
                                                              original[43] << 24);
    for (std::size_t page = 0; page < bins / 4096; ++page) {
        const bool same = page < originalBins / 4096 &&
                          std::memcmp(image + 4096 + page * 4096, original.data() + 4096 + page * 4096, 4096) == 0;
        if (!same) {
            EXPECT_TRUE(std::binary_search(dirty.begin(), dirty.end(), static_cast<std::uint32_t>(page))) << "page " << page;
        }
    }

    const std::string file = writeTemporary(image, hive->imageSize(), label + ".after");
    TreeKey byHivex;
    ASSERT_TRUE(readWithHivex(file, byHivex, error)) << error;
    EXPECT_EQ(difference(describe(byHivex), expected), "") << "hivex";
    if (withRegfexport) {
        TreeKey byRegfexport;
        ASSERT_TRUE(readWithRegfexport(file, byRegfexport, error)) << error;
        TreeKey masked = sequence.model();
        maskUnknownData(masked, byRegfexport, hive->minorVersion() >= 5);
        EXPECT_EQ(difference(describe(byRegfexport), describe(masked)), "") << "regfexport";
    }
    // The result opens again, walked whole, and holds the same tree.
    std::unique_ptr<regf::Hive> again = openHive(std::vector<unsigned char>(image, image + hive->imageSize()), true);
    ASSERT_NE(again, nullptr);
    TreeKey reopened;
    ASSERT_TRUE(readWithEngine(*again, reopened, error)) << error;
    EXPECT_EQ(difference(describe(reopened), expected), "") << "reopened";
}

}  // namespace

// Minor version 2 keeps li lists, 3 and 4 lf, 5 and 6 lh; 3 has no big data.
class EngineDifferential : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t>> {};

TEST_P(EngineDifferential, EmptyHive) {
    const auto [minor, seed] = GetParam();
    runDifferential(emptyHive(minor), "empty-" + std::to_string(minor), seed * 100 + minor, true);
}

INSTANTIATE_TEST_SUITE_P(EveryListKind, EngineDifferential,
                         ::testing::Combine(::testing::Values(2u, 3u, 4u, 5u, 6u), ::testing::Values(1u, 2u)));

class EngineWindowsHives : public ::testing::TestWithParam<std::tuple<const char*, std::uint32_t>> {
protected:
    void SetUp() override { TARNWICK_NEEDS_WINDOWS_HIVES(); }
};

TEST_P(EngineWindowsHives, RandomChangesReadBackByEveryReader) {
    const std::string name = std::get<0>(GetParam());
    const std::vector<unsigned char> original = readFile(std::string(TARNWICK_WINDOWS_HIVES) + "/" + name);
    // CompHive holds a compressed name of the byte 0x9F beside a UTF-16 name
    // of U+0178, which regfexport shows alike (it reads compressed names as
    // windows-1252).
    runDifferential(original, name.substr(name.rfind('/') + 1), std::get<1>(GetParam()), name != "CompHive");
}

INSTANTIATE_TEST_SUITE_P(All, EngineWindowsHives,
                         ::testing::Combine(::testing::Values("BigDataHive", "CompHive", "ExtendedASCIIHive",
                                                              "ManySubkeysHive", "NewFlagsHive", "StringValuesHive",
                                                              "UnicodeHive", "NewDirtyHive1/RecoveredHive_Windows10",
                                                              "OldDirtyHive/RecoveredHive_Windows7"),
                                            ::testing::Values(11u, 12u)));

// What Windows refuses, and what a handle or a read-only hive allows.
TEST(EngineStatuses, RefusalsAsWindowsGivesThem) {
    std::unique_ptr<regf::Hive> hive = openHive(emptyHive(5), true);
    ASSERT_NE(hive, nullptr);
    regf::KeyRef a = 0;
    regf::KeyRef b = 0;
    regf::KeyRef made = 0;
    ASSERT_EQ(hive->addChild(hive->root(), u"a", a), ERROR_SUCCESS);
    ASSERT_EQ(hive->addChild(a, u"b", b), ERROR_SUCCESS);
    const unsigned char data[4] = {};
    const std::vector<std::pair<const char*, std::function<LONG()>>> calls = {
        {"empty key name", [&] { return hive->addChild(a, u"", made) == ERROR_INVALID_PARAMETER; }},
        {"key name of 256 units", [&] { return hive->addChild(a, std::u16string(256, u'x'), made) == ERROR_INVALID_PARAMETER; }},
        {"key name of 255 units", [&] { return hive->addChild(a, std::u16string(255, u'x'), made) == ERROR_SUCCESS; }},
        {"backslash in a key name", [&] { return hive->addChild(a, u"x\\y", made) == ERROR_INVALID_PARAMETER; }},
        {"key that exists, in another case", [&] { return hive->addChild(hive->root(), u"A", made) == ERROR_ALREADY_EXISTS && made == a; }},
        {"value name of 16,384 units",
         [&] { return hive->setValue(a, regf::newValue, std::u16string(16384, u'v'), 1, data, 4) == ERROR_INVALID_PARAMETER; }},
        {"value name of 16,383 units",
         [&] { return hive->setValue(a, regf::newValue, std::u16string(16383, u'v'), 1, data, 4) == ERROR_SUCCESS; }},
        {"missing child", [&] { return hive->findChild(a, u"none", made) == ERROR_FILE_NOT_FOUND; }},
        {"value index past the last", [&] { return hive->deleteValue(b, 0) == ERROR_NO_MORE_ITEMS; }},
        {"deleting the root", [&] { return hive->deleteKeyTree(hive->root()) == ERROR_ACCESS_DENIED; }},
        {"a handle never given", [&] { return hive->childCount(12345, *std::make_unique<std::uint32_t>()) == ERROR_INVALID_HANDLE; }},
        {"deleting a tree", [&] { return hive->deleteKeyTree(a) == ERROR_SUCCESS; }},
        {"a deleted key's handle", [&] { return hive->setValue(a, regf::newValue, u"v", 1, data, 4) == ERROR_KEY_DELETED; }},
        {"a deleted subkey's handle, its cell reused",
         [&] { return hive->addChild(hive->root(), u"a", made) == ERROR_SUCCESS && hive->keyName(b, *std::make_unique<std::u16string>()) == ERROR_KEY_DELETED; }},
    };
    for (const auto& [what, call] : calls) {
        EXPECT_TRUE(call()) << what;
    }
    EXPECT_FALSE(hive->broken());

    std::unique_ptr<regf::Hive> readOnly = openHive(emptyHive(5), false);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(readOnly->addChild(readOnly->root(), u"a", made), ERROR_ACCESS_DENIED);
    EXPECT_EQ(readOnly->setValue(readOnly->root(), regf::newValue, u"v", 1, data, 4), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(readOnly->changed());
}
