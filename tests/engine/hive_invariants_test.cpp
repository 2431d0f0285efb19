// The checker against hives Windows wrote (which must pass) and mutations of
// sound hives (Windows' and hivex's, their free cells merged), each of which
// it must report at the right cell.
#include "hive_invariants.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "sample_volume.h"
#include "windows_hives.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;
using ::testing::PrintToString;
constexpr std::uint32_t bins = 4096;
constexpr std::uint32_t none = 0xFFFFFFFF;

std::string hex(std::uint32_t value) {
    char text[16];
    return std::string(text, std::snprintf(text, sizeof text, "0x%x", value));
}

std::string at(std::uint32_t cell, const std::string& kind) { return "cell " + hex(cell) + " (" + kind + "): "; }

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Lines check(const Bytes& bytes, const HiveInvariantOptions& options = {}) {
    return checkHiveInvariants(bytes.data(), bytes.size(), options);
}

// Expects a line that holds `expected` among the checker's.
void expectReported(const Bytes& bytes, const std::string& expected, const std::string& what,
                    const HiveInvariantOptions& options = {}) {
    const Lines lines = check(bytes, options);
    const auto holds = [&](const std::string& line) { return line.find(expected) != std::string::npos; };
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), holds))
        << what << ": expected \"" << expected << "\", got" << PrintToString(lines);
}

// Raw access to a sound hive, its cells found by walking its bins.
struct Hive {
    struct Cell { std::uint32_t offset, size, bin; bool allocated; };
    Bytes bytes;
    std::vector<Cell> cells;

    explicit Hive(Bytes b) : bytes(std::move(b)) {
        for (std::uint32_t bin = 0; bin < get(40); bin += get(bins + bin + 8)) {
            for (std::uint32_t at = bin + 32; at < bin + get(bins + bin + 8); at += cells.back().size) {
                const auto size = static_cast<std::int32_t>(get(bins + at));
                cells.push_back(Cell{at, static_cast<std::uint32_t>(size < 0 ? -size : size), bin, size < 0});
            }
        }
    }
    std::uint32_t get(std::size_t at) const {
        return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
    }
    void put(std::size_t at, std::uint32_t value, int width = 4) {
        for (int i = 0; i < width; ++i) {
            bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
        }
    }
    // A field of a cell's data, after its size field; a list's count is at 2.
    std::uint32_t field(std::uint32_t cell, std::uint32_t at) const { return get(bins + cell + 4 + at); }
    void set(std::uint32_t cell, std::uint32_t at, std::uint32_t v, int n = 4) { put(bins + cell + 4 + at, v, n); }
    std::uint32_t count(std::uint32_t list) const { return field(list, 0) >> 16; }
    std::string kind(std::uint32_t cell) const { return std::string(&bytes[bins + cell + 4], &bytes[bins + cell + 6]); }
    std::uint32_t width(std::uint32_t leaf) const { return kind(leaf) == "li" ? 4 : 8; }
    void swap(std::uint32_t cell, std::uint32_t a, std::uint32_t b, std::uint32_t n) {
        std::swap_ranges(&bytes[bins + cell + 4 + a], &bytes[bins + cell + 4 + a + n], &bytes[bins + cell + 4 + b]);
    }
    // The first allocated cell of one of the kinds that passes the test.
    std::uint32_t first(const Lines& kinds, std::function<bool(std::uint32_t)> test) const {
        const auto found = std::find_if(cells.begin(), cells.end(), [&](const Cell& c) {
            return c.allocated && std::count(kinds.begin(), kinds.end(), kind(c.offset)) != 0 && test(c.offset);
        });
        return found == cells.end() ? none : found->offset;
    }
    // A key whose subkey list is one leaf that lists something.
    std::uint32_t keyWithLeaf() const {
        return first({"nk"}, [&](std::uint32_t nk) {
            return field(nk, 28) != none && kind(field(nk, 28))[0] == 'l' && count(field(nk, 28)) > 0;
        });
    }
    // Merges each run of free cells in a bin into one, as Windows leaves it.
    Bytes mergedFreeNeighbours() {
        for (std::size_t i = cells.size(); i-- > 1;) {
            if (!cells[i - 1].allocated && !cells[i].allocated && cells[i - 1].bin == cells[i].bin) {
                put(bins + cells[i - 1].offset, cells[i - 1].size += cells[i].size);
            }
        }
        return bytes;
    }
};

Bytes hivexHive(std::uint32_t minor, const std::vector<sample::Entry>& entries) {
    std::string folder = (fs::temp_directory_path() / "tarnwick-invariants-XXXXXX").string();
    std::string error = mkdtemp(folder.data()) == nullptr ? "no temporary folder" : "";
    const bool made = error.empty() && sample::writeEmptyHive(folder + "/hive", minor, error) &&
                      sample::fillHive(folder + "/hive", entries, error);
    const Bytes bytes = made ? readFile(folder + "/hive") : Bytes{};
    fs::remove_all(folder);
    EXPECT_FALSE(bytes.empty()) << "hivex made no hive: " << error;
    return bytes;
}

struct Base { std::string name; Bytes bytes; };

// Hives as the sample volume's: keys, strings, a DWORD, a 3,000-byte value;
// the minor-3 one also a 20,000-byte value, one cell in that version;
// their runs of free cells merged.
std::vector<Base> hivexHives() {
    using sample::key;
    using sample::text;
    std::vector<sample::Entry> entries = {
        text("Control Panel\\Desktop", "Wallpaper", "C:\\Windows\\img0.jpg"), text("Environment", "TEMP", "C:\\Temp"),
        text("Control Panel\\Desktop", "Style", "10"), sample::dword("Control Panel\\Desktop", "Tile", 0),
        key("Software\\Alpha"), key("Software\\beta"), key("Software\\Gamma2"), key("Software\\gamma10"),
        sample::Entry{"Software\\Contoso\\App", "Blob", 3, std::string(3000, 'x')}};
    std::vector<Base> hives = {{"hivex, minor 5", hivexHive(5, entries)}};
    entries.push_back(sample::Entry{"Software\\Contoso\\Large", "Image", 3, std::string(20000, 'b')});
    hives.push_back({"hivex, minor 3", hivexHive(3, entries)});
    for (Base& hive : hives) {
        hive.bytes = Hive(hive.bytes).mergedFreeNeighbours();
    }
    return hives;
}

// The sound hives Windows wrote but its recovery after a crash, which needs a switch.
std::vector<Base> windowsHives() {
    std::vector<Base> hives;
    for (const char* file : {"CompHive", "BigDataHive", "ManySubkeysHive", "UnicodeHive", "ExtendedASCIIHive",
                             "NewFlagsHive", "StringValuesHive", "OldDirtyHive/RecoveredHive_Windows7"}) {
        hives.push_back(Base{file, readFile(std::string(TARNWICK_WINDOWS_HIVES) + "/" + file)});
    }
    return hives;
}

class WindowsWritten : public ::testing::Test {
protected:
    void SetUp() override { TARNWICK_NEEDS_WINDOWS_HIVES(); }
};

TEST_F(WindowsWritten, SoundHivesKeepEveryInvariant) {
    for (const Base& hive : windowsHives()) {
        EXPECT_TRUE(check(hive.bytes).empty()) << hive.name << PrintToString(check(hive.bytes));
    }
    // The switch hides the eight key nodes of keys regedit renamed, and nothing else.
    const Bytes recovered = readFile(std::string(TARNWICK_WINDOWS_HIVES) + "/NewDirtyHive1/RecoveredHive_Windows10");
    HiveInvariantOptions afterCrash;
    afterCrash.unreachedCellsAllowed = true;
    EXPECT_TRUE(check(recovered, afterCrash).empty()) << PrintToString(check(recovered, afterCrash));
    EXPECT_EQ(check(recovered).size(), 8u);
    for (const std::string& line : check(recovered)) {
        EXPECT_NE(line.find("(nk): allocated, but not reached from the root"), std::string::npos) << line;
    }
}

using Mutation = std::function<std::string(Hive&)>;

// Adds `delta` to a field of the first cell of a kind: a list of at least
// `least` elements, a key other than the root with at least `least` subkeys,
// or any sk. The checker must report that cell.
Mutation bump(std::string kind, std::uint32_t least, std::uint32_t field, std::uint32_t delta, std::string what) {
    return [=](Hive& h) -> std::string {
        const std::uint32_t cell = h.first({kind}, [&](std::uint32_t c) {
            return kind == "sk" || (kind == "nk" ? c != h.get(36) && h.field(c, 20) >= least : h.count(c) >= least);
        });
        if (cell == none) return "";
        h.set(cell, field, h.field(cell, field) + delta);
        return at(cell, kind) + what;
    };
}

// Each mutation changes a sound hive where it finds what it needs and returns
// (the start of) the line the checker must report; "" when it finds nothing.
const struct {
    const char* name;
    bool onlyInWindowsHives;  // no hive hivex writes has what it needs
    Mutation mutate;
} mutations[] = {
    {"a wrong lh hash", false, bump("lh", 1, 8, 0x10, "hash")},
    {"a wrong lf hint", true, bump("lf", 1, 8, 1, "hint")},
    {"an sk reference count one too high", false, bump("sk", 0, 12, 1, "reference count")},
    {"a broken sk blink", false, bump("sk", 0, 8, 8, "blink")},
    {"a wrong parent offset", false, bump("nk", 0, 16, 8, "parent offset")},
    {"a subkey count one too high", false, bump("nk", 1, 20, 1, "subkey count")},
    {"two leaves of an index root swapped", true, [](Hive& h) -> std::string {
         const std::uint32_t ri = h.first({"ri"}, [&](std::uint32_t c) { return h.count(c) >= 2; });
         if (ri == none) return "";
         h.swap(ri, 4, 8, 4);
         return at(h.field(ri, 8), h.kind(h.field(ri, 8))) + "out of order";
     }},
    {"two subkeys swapped in a list", false, [](Hive& h) -> std::string {
         const std::uint32_t leaf = h.first({"lf", "lh", "li"}, [&](std::uint32_t c) { return h.count(c) >= 2; });
         if (leaf == none) return "";
         h.swap(leaf, 4, 4 + h.width(leaf), h.width(leaf));
         return at(leaf, h.kind(leaf)) + "out of order";
     }},
    {"a base block changed without its checksum", false, [](Hive& h) -> std::string {
         h.put(12, h.get(12) + 1);
         return "base block: checksum";
     }},
    {"a free cell split in two adjacent free cells", false, [](Hive& h) -> std::string {
         const auto free = [](const Hive::Cell& c) { return !c.allocated && c.size >= 16; };
         const auto cell = std::find_if(h.cells.begin(), h.cells.end(), free);
         if (cell == h.cells.end()) return "";
         h.put(bins + cell->offset, 8);
         h.put(bins + cell->offset + 8, cell->size - 8);
         return at(cell->offset + 8, "free") + "a free cell right after the free cell " + hex(cell->offset);
     }},
    {"a key dropped from its list, the count adjusted", false, [](Hive& h) -> std::string {
         const std::uint32_t key = h.keyWithLeaf();
         if (key == none) return "";
         const std::uint32_t leaf = h.field(key, 28);
         h.set(leaf, 2, h.count(leaf) - 1, 2);
         h.set(key, 20, h.field(key, 20) - 1);
         const std::uint32_t dropped = h.field(leaf, 4 + h.width(leaf) * h.count(leaf));
         return at(dropped, "nk") + "allocated, but not reached from the root";
     }},
    {"a largest subkey name length below the longest name", false, [](Hive& h) -> std::string {
         const std::uint32_t key = h.keyWithLeaf();
         if (key == none) return "";
         h.set(key, 52, 0, 2);
         return at(key, "nk") + "largest subkey name length 0, but the largest is";
     }},
    {"a key listed as its own subkey (a cycle)", false, [](Hive& h) -> std::string {
         const std::uint32_t key = h.keyWithLeaf();
         if (key == none) return "";
         h.set(h.field(key, 28), 4, key);
         return at(key, "nk") + "reached a second time";
     }},
    {"a value listed twice, its neighbour dropped", false, [](Hive& h) -> std::string {
         const std::uint32_t key = h.first({"nk"}, [&](std::uint32_t c) { return h.field(c, 36) >= 2; });
         if (key == none) return "";
         const std::uint32_t list = h.field(key, 40);
         h.set(list, 4, h.field(list, 0));
         return at(h.field(list, 0), "vk") + "reached a second time";
     }},
    {"a freed value cell left in its key's list", false, [](Hive& h) -> std::string {
         const std::uint32_t key = h.first({"nk"}, [&](std::uint32_t c) { return h.field(c, 36) >= 1; });
         if (key == none) return "";
         const std::uint32_t list = h.field(key, 40);
         h.put(bins + h.field(list, 0), 0u - h.get(bins + h.field(list, 0)));
         return at(list, "value list") + "value 0 " + hex(h.field(list, 0)) + " is a free cell";
     }},
    {"a one-byte key name stored as UTF-16, its compressed flag cleared", false, [](Hive& h) -> std::string {
         const std::uint32_t key = h.first({"nk"}, [&](std::uint32_t c) {  // with room for its name in UTF-16
             const std::uint32_t length = h.field(c, 72) & 0xFFFF;
             return c != h.get(36) && (h.field(c, 0) >> 16 & 0x20) && length && 80 + 2 * length <= 0u - h.get(bins + c);
         });
         if (key == none) return "";
         const std::uint32_t length = h.field(key, 72) & 0xFFFF;
         for (std::uint32_t i = length; i-- > 0;) {
             h.put(bins + key + 80 + 2 * i, h.bytes[bins + key + 80 + i], 2);
         }
         h.set(key, 2, (h.field(key, 0) >> 16) & ~0x20u, 2);
         h.set(key, 72, 2 * length, 2);
         return at(key, "nk") + "name '";  // the start of the line on a name's form
     }},
    {"a value above 16,344 bytes in one cell, the hive made minor 5", false, [](Hive& h) -> std::string {
         const std::uint32_t vk = h.first({"vk"}, [&](std::uint32_t c) {
             return h.field(c, 4) > 16344 && h.field(c, 4) < 0x80000000;  // not inline
         });
         if (h.get(24) >= 4 || vk == none) return "";
         h.put(508, h.get(508) ^ h.get(24) ^ 5);  // the checksum is the XOR of the dwords
         h.put(24, 5);
         return at(vk, "vk") + std::to_string(h.field(vk, 4)) + " bytes of data in one cell";
     }},
};

// hivex's hives always; Windows' own when they are beside the repository.
std::vector<Base> soundHives() {
    std::vector<Base> hives = hivexHives();
    if (fs::is_directory(TARNWICK_WINDOWS_HIVES)) {
        const std::vector<Base> windows = windowsHives();
        hives.insert(hives.end(), windows.begin(), windows.end());
    }
    return hives;
}

TEST(Mutations, EachIsReportedAtItsCell) {
    const std::vector<Base> bases = soundHives();
    for (const Base& base : bases) {
        ASSERT_TRUE(check(base.bytes).empty()) << base.name << " is not sound to start with";
    }
    for (const auto& mutation : mutations) {
        int made = 0;
        for (const Base& base : bases) {
            Hive hive(base.bytes);
            const std::string expected = mutation.mutate(hive);
            if (!expected.empty()) {
                ++made;
                expectReported(hive.bytes, expected, std::string(mutation.name) + " in " + base.name);
            }
        }
        EXPECT_TRUE(made > 0 || (mutation.onlyInWindowsHives && !fs::is_directory(TARNWICK_WINDOWS_HIVES)))
            << mutation.name << ": no hive had what it mutates";
    }
}

}  // namespace
