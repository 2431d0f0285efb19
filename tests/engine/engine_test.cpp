// The engine against two independent readers: random sequences of changes
// (keys with names from all of Unicode, values of every type and of sizes
// around the inline, one-cell and big-data limits, deletions of values and
// of whole trees) applied to hives Windows wrote and to empty ones, then the
// result read by the engine, by hivex and by regfexport and compared with a
// model of what the sequence should give, and the same sequence applied to
// the in-memory registry of the unit tests and the contract suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>

#include "engine_test_support.h"
#include "hive_invariants.h"
#include "platform/linux/utf.h"
#include "platform/memory/memory_hive.h"
#include "platform/offline/replay/regf_fields.h"
#include "windows_hives.h"

using namespace enginetest;

namespace {

using Path = std::vector<std::u16string>;

// The in-memory registry's store, which the unit tests and the contract
// suite run the registry calls over, given the same changes as the engine
// through the store interface the emulation uses: the trees must agree.
class MemoryTwin {
public:
    explicit MemoryTwin(const TreeKey& tree) : rootName_(tree.name) {
        emulation::KeyId root = 0;
        hive_.root(root);
        load(root, tree);
    }
    void addKey(const Path& parent, const std::u16string& name) {
        emulation::KeyId child = 0;
        const emulation::KeyId at = key(parent);
        if (hive_.findChild(at, wideFromUtf16(name), child) == ERROR_FILE_NOT_FOUND) {
            EXPECT_EQ(hive_.addChild(at, wideFromUtf16(name), child), ERROR_SUCCESS);
        }
    }
    void setValue(const Path& path, const std::u16string& name, std::uint32_t type, const std::vector<unsigned char>& data) {
        const emulation::KeyId at = key(path);
        std::size_t index = emulation::newValue;
        EXPECT_EQ(hive_.findValue(at, wideFromUtf16(name), index), ERROR_SUCCESS);
        EXPECT_EQ(hive_.setValue(at, index, wideFromUtf16(name), type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
    }
    void deleteValue(const Path& path, const std::u16string& name) {
        const emulation::KeyId at = key(path);
        std::size_t index = emulation::newValue;
        ASSERT_EQ(hive_.findValue(at, wideFromUtf16(name), index), ERROR_SUCCESS);
        ASSERT_NE(index, emulation::newValue) << utf8(name);
        EXPECT_EQ(hive_.deleteValue(at, index), ERROR_SUCCESS);
    }
    void deleteTree(const Path& path) {
        EXPECT_EQ(hive_.deleteTree(key(Path(path.begin(), path.end() - 1)), key(path)), ERROR_SUCCESS);
    }
    TreeKey tree() {
        emulation::KeyId root = 0;
        hive_.root(root);
        TreeKey out;
        out.name = rootName_;
        read(root, out);
        return out;
    }

private:
    emulation::KeyId key(const Path& path) {
        emulation::KeyId at = 0;
        hive_.root(at);
        for (const std::u16string& part : path) {
            EXPECT_EQ(hive_.findChild(at, wideFromUtf16(part), at), ERROR_SUCCESS) << utf8(part);
        }
        return at;
    }
    void load(emulation::KeyId at, const TreeKey& tree) {
        for (const TreeValue& value : tree.values) {
            hive_.setValue(at, emulation::newValue, wideFromUtf16(value.name), value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        }
        for (const auto& entry : tree.children) {
            emulation::KeyId child = 0;
            hive_.addChild(at, wideFromUtf16(entry.second.name), child);
            load(child, entry.second);
        }
    }
    void read(emulation::KeyId at, TreeKey& out) {
        std::vector<std::wstring> names;
        hive_.valueNames(at, names);
        for (std::size_t i = 0; i < names.size(); ++i) {
            TreeValue value{utf16FromWide(names[i]), 0, {}, true};
            DWORD type = 0;
            hive_.readValue(at, i, type, value.data);
            value.type = type;
            out.values.push_back(std::move(value));
        }
        for (DWORD index = 0;; ++index) {
            bool exists = false;
            std::wstring name;
            FILETIME time{};
            emulation::KeyId child = 0;
            if (hive_.childAt(at, index, exists, name, time) != ERROR_SUCCESS || !exists ||
                hive_.findChild(at, name, child) != ERROR_SUCCESS) {
                break;
            }
            TreeKey& key = out.children[upcased(utf16FromWide(name))];
            key.name = utf16FromWide(name);
            read(child, key);
        }
    }

    memplat::MemoryHive hive_;
    std::u16string rootName_;  // the store keeps no name for a hive's root
};

// Random changes, made by the engine and to a model of the tree.
class Sequence {
public:
    Sequence(regf::Hive& hive, TreeKey model, std::uint32_t seed, bool hugeValues)
        : hive_(hive), memory_(model), model_(std::move(model)), random_(seed), hugeValues_(hugeValues) {}

    MemoryTwin& memory() { return memory_; }

    const TreeKey& model() const { return model_; }
    const std::vector<regf::KeyRef>& deleted() const { return deleted_; }

    void run(int steps) {
        for (int step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
            const unsigned pick = below(100);
            const Path path = anyKey();
            TreeKey& key = modelKey(path);
            if (pick < 30) {
                addKey(path, name(below(30) == 0 ? 255 : 12, false));
            } else if (pick < 72) {
                setValue(path, key);
            } else if (pick < 88 && !key.values.empty()) {
                const unsigned index = below(static_cast<unsigned>(key.values.size()));
                bool found = false;
                std::uint32_t at = 0;
                const regf::KeyRef ref = engineKey(path);
                ASSERT_TRUE(hive_.findValue(ref, key.values[index].name, found, at) == ERROR_SUCCESS && found && at == index);
                ASSERT_EQ(hive_.deleteValue(ref, at), ERROR_SUCCESS);
                memory_.deleteValue(path, upcased(key.values[index].name));
                key.values.erase(key.values.begin() + index);
            } else if (pick >= 88 && pick < 94 && !path.empty()) {
                deleted_.push_back(engineKey(path));
                ASSERT_EQ(hive_.deleteKeyTree(deleted_.back()), ERROR_SUCCESS);
                memory_.deleteTree(path);
                modelKey(Path(path.begin(), path.end() - 1)).children.erase(upcased(path.back()));
            } else if (pick == 94) {
                // Enough keys under one parent to split its lists under an ri.
                for (int i = 0; i < 1100 && !::testing::Test::HasFailure(); ++i) {
                    addKey(path, name(12, false));
                }
            }
        }
    }

private:
    unsigned below(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }

    // Units from ASCII letters and digits, Latin-1 (without the C1 controls,
    // which regfexport would read as windows-1252), the letters the upcase
    // mapping changes, the rest of the BMP, and surrogate pairs.
    std::u16string name(unsigned longest, bool mayBeEmpty) {
        static const std::pair<unsigned, unsigned> ranges[] = {
            {0x30, 10}, {0x41, 26}, {0x61, 26}, {0x61, 26}, {0xA0, 0x60}, {0x100, 0x80}, {0x391, 0x39},
            {0x400, 0x60}, {0x180, 0xD800 - 0x180}, {0xE000, 0xFDD0 - 0xE000}, {0xD800, 0}};
        const unsigned length = mayBeEmpty && below(12) == 0 ? 0 : below(40) == 0 ? longest : 1 + below(12);
        std::u16string out;
        while (out.size() < length) {
            const auto& [start, count] = ranges[below(sizeof ranges / sizeof ranges[0])];
            if (count > 0) {
                out += static_cast<char16_t>(start + below(count));
            } else if (out.size() + 2 <= length) {
                out += {static_cast<char16_t>(0xD800 + below(0x400)), static_cast<char16_t>(0xDC00 + below(0x400))};
            }
        }
        return out == u"(default)" ? out + u"x" : out;
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
            // Looked up in another case than it was made with, as Windows allows.
            EXPECT_EQ(hive_.findChild(ref, below(2) == 0 ? upcased(part) : part, ref), ERROR_SUCCESS) << utf8(part);
        }
        return ref;
    }

    void addKey(const Path& parent, const std::u16string& keyName) {
        regf::KeyRef child = 0;
        TreeKey& key = modelKey(parent);
        const bool exists = key.children.count(upcased(keyName)) != 0;
        ASSERT_EQ(hive_.addChild(engineKey(parent), keyName, child), exists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        memory_.addKey(parent, keyName);
        key.children[upcased(keyName)].name = exists ? key.children[upcased(keyName)].name : keyName;
    }

    void setValue(const Path& path, TreeKey& key) {
        static const std::size_t sizes[] = {0, 1, 3, 4, 5, 8, 100, 4000, 16343, 16344, 16345, 32688, 32689, 50000};
        std::u16string valueName = name(below(30) == 0 ? 16383 : 12, true);
        if (!key.values.empty() && below(3) == 0) {
            // The name of a value that exists, in another case.
            valueName = upcased(key.values[below(static_cast<unsigned>(key.values.size()))].name);
        }
        const std::uint32_t type = below(5) == 0 ? static_cast<std::uint32_t>(random_()) : below(12);
        std::vector<unsigned char> data(hugeValues_ && below(40) == 0 ? (1u << 20) + below(3)
                                        : below(3) == 0           ? below(300)
                                                                  : sizes[below(sizeof sizes / sizeof sizes[0])]);
        for (unsigned char& byte : data) {
            byte = static_cast<unsigned char>(random_());
        }
        ASSERT_EQ(hive_.setValue(engineKey(path), regf::newValue, valueName, type, data.data(), data.size()), ERROR_SUCCESS);
        memory_.setValue(path, valueName, type, data);
        auto same = std::find_if(key.values.begin(), key.values.end(),
                                 [&](const TreeValue& value) { return upcased(value.name) == upcased(valueName); });
        if (same == key.values.end()) {
            key.values.push_back(TreeValue{valueName, type, std::move(data), true});
        } else {
            same->type = type;
            same->data = std::move(data);
        }
    }

    regf::Hive& hive_;
    MemoryTwin memory_;
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
                     bool regfexportReadsNames, Storage storage) {
    const bool hugeValues = seed % 2 == 1;
    const bool withRegfexport = regfexportReadsNames && !hugeValues;
    SCOPED_TRACE(label + ", seed " + std::to_string(seed) + (storage == Storage::paged ? ", paged" : ""));
    ASSERT_FALSE(original.empty());
    const TreeKey before = readWithHivex(writeTemporary(original.data(), original.size(), label + ".before"));
    std::unique_ptr<regf::Hive> hive = openHive(original, true, storage);
    ASSERT_NE(hive, nullptr);
    ASSERT_EQ(difference(describe(readWithEngine(*hive)), describe(before)), "");

    Sequence sequence(*hive, before, seed, hugeValues);
    sequence.run(150);
    ASSERT_FALSE(::testing::Test::HasFailure() || hive->broken());
    std::u16string ignored;
    for (regf::KeyRef ref : sequence.deleted()) {
        EXPECT_EQ(hive->keyName(ref, ignored), ERROR_KEY_DELETED);
    }

    const std::string expected = describe(sequence.model());
    EXPECT_EQ(difference(describe(readWithEngine(*hive)), expected), "") << "engine";
    EXPECT_EQ(difference(describe(sequence.memory().tree()), expected), "") << "the in-memory registry";

    // Every page that differs from the original is among the dirty ones: the
    // write-back writes those alone. A paged image holds only the pages the
    // engine read, so the readers below judge what a write-back would leave.
    hive->finishBaseBlock(7, 0x01D0000000000000ull);
    const std::vector<std::uint32_t> dirty = hive->dirtyPages();
    const std::vector<unsigned char> image = storage == Storage::paged ? writtenImage(*hive, original) : imageOf(*hive);
    const std::size_t originalBins = hivelog::readDword(&original[hivelog::binsSizeAt]);
    for (std::uint32_t page = 0; storage == Storage::vector && page < (image.size() - 4096) / 4096; ++page) {
        if (page >= originalBins / 4096 || std::memcmp(&image[4096 * (page + 1)], &original[4096 * (page + 1)], 4096) != 0) {
            EXPECT_TRUE(std::binary_search(dirty.begin(), dirty.end(), page)) << "page " << page;
        }
    }

    // Windows' invariants hold, judged by the checker; a hive Windows
    // recovered may keep cells it never freed, and still does.
    HiveInvariantOptions options;
    options.unreachedCellsAllowed = !checkHiveInvariants(original.data(), original.size()).empty();
    EXPECT_EQ(::testing::PrintToString(checkHiveInvariants(image.data(), image.size(), options)), "{}");

    const std::string file = writeTemporary(image.data(), image.size(), label + ".after");
    EXPECT_EQ(difference(describe(readWithHivex(file)), expected), "") << "hivex";
    if (withRegfexport) {
        TreeKey byRegfexport = readWithRegfexport(file);
        TreeKey masked = sequence.model();
        maskUnknownData(masked, byRegfexport, hive->minorVersion() >= 5);
        EXPECT_EQ(difference(describe(byRegfexport), describe(masked)), "") << "regfexport";
    }
    // The result opens again, walked whole, and holds the same tree; read
    // only, paged, it gives back the pages it read (its big data among them)
    // as it goes and reads them again when asked.
    std::unique_ptr<regf::Hive> again = openHive(image, true, storage);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(difference(describe(readWithEngine(*again)), expected), "") << "reopened";
    std::unique_ptr<regf::Hive> readOnly = openHive(image, false, Storage::paged);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(difference(describe(readWithEngine(*readOnly)), expected), "") << "reopened read-only";
}

}  // namespace

// Minor version 2 keeps li lists, 3 and 4 lf, 5 and 6 lh; 3 has no big data.
// The second seed of each, and the Windows hives' last two, go through the
// paged storage.
class EngineDifferential : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::uint32_t>> {};

TEST_P(EngineDifferential, EmptyHive) {
    const auto [minor, seed] = GetParam();
    runDifferential(emptyHive(minor), "empty-" + std::to_string(minor), seed * 100 + minor, true,
                    seed == 2 ? Storage::paged : Storage::vector);
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
    const std::uint32_t seed = std::get<1>(GetParam());
    runDifferential(original, name.substr(name.rfind('/') + 1), seed, name != "CompHive",
                    seed == 11 ? Storage::vector : Storage::paged);
}

INSTANTIATE_TEST_SUITE_P(All, EngineWindowsHives,
                         ::testing::Combine(::testing::Values("BigDataHive", "CompHive", "ExtendedASCIIHive",
                                                              "ManySubkeysHive", "NewFlagsHive", "StringValuesHive",
                                                              "UnicodeHive", "NewDirtyHive1/RecoveredHive_Windows10",
                                                              "OldDirtyHive/RecoveredHive_Windows7"),
                                            ::testing::Values(11u, 12u, 13u)));

// What Windows refuses, and what a handle or a read-only hive allows.
TEST(EngineStatuses, RefusalsAsWindowsGivesThem) {
    std::unique_ptr<regf::Hive> hive = openHive(emptyHive(5), true);
    std::unique_ptr<regf::Hive> readOnly = openHive(emptyHive(5), false);
    ASSERT_TRUE(hive && readOnly);
    regf::KeyRef a = 0;
    regf::KeyRef made = 0;
    const unsigned char data[4] = {};
    ASSERT_EQ(hive->addChild(hive->root(), u"a", a), ERROR_SUCCESS);
    const std::vector<std::tuple<const char*, LONG, std::function<LONG()>>> calls = {
        {"empty key name", ERROR_INVALID_PARAMETER, [&] { return hive->addChild(a, u"", made); }},
        {"key name of 256 units", ERROR_INVALID_PARAMETER, [&] { return hive->addChild(a, std::u16string(256, u'x'), made); }},
        {"backslash in a key name", ERROR_INVALID_PARAMETER, [&] { return hive->addChild(a, u"x\\y", made); }},
        {"key that exists, in another case", ERROR_ALREADY_EXISTS, [&] { return hive->addChild(hive->root(), u"A", made); }},
        {"value name of 16,384 units", ERROR_INVALID_PARAMETER,
         [&] { return hive->setValue(a, regf::newValue, std::u16string(16384, u'v'), 1, data, 4); }},
        {"missing child", ERROR_FILE_NOT_FOUND, [&] { return hive->findChild(a, u"none", made); }},
        {"value index past the last", ERROR_NO_MORE_ITEMS, [&] { return hive->deleteValue(a, 0); }},
        {"deleting the root", ERROR_ACCESS_DENIED, [&] { return hive->deleteKeyTree(hive->root()); }},
        {"adding to a read-only hive", ERROR_ACCESS_DENIED, [&] { return readOnly->addChild(readOnly->root(), u"a", made); }},
        {"setting in a read-only hive", ERROR_ACCESS_DENIED,
         [&] { return readOnly->setValue(readOnly->root(), regf::newValue, u"v", 1, data, 4); }},
    };
    for (const auto& [what, status, call] : calls) {
        EXPECT_EQ(call(), status) << what;
    }
    EXPECT_FALSE(hive->broken());
    EXPECT_FALSE(readOnly->changed());
}
