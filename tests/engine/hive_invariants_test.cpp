// The checker against hives Windows wrote (which must pass), hives hivex
// wrote (the engine tests' starting point), and mutations of sound hives,
// each of which it must report, naming the right cell.
#include "hive_invariants.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "sample_volume.h"
#include "windows_hives.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

constexpr std::uint32_t bins = 4096;

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "\n  " + line;
    }
    return text.empty() ? " (none)" : text;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> check(const Bytes& bytes, const HiveInvariantOptions& options = {}) {
    return checkHiveInvariants(bytes.data(), bytes.size(), options);
}

// Raw access to a hive under test, with its cells found by walking the bins
// (a sound hive's: the mutations start from one).
struct Hive {
    struct Cell {
        std::uint32_t offset;
        std::uint32_t size;
        bool allocated;
        std::uint32_t bin;
    };

    Bytes bytes;
    std::vector<Cell> cells;

    explicit Hive(Bytes b) : bytes(std::move(b)) {
        for (std::uint32_t bin = 0; bin < raw32(40);) {
            const std::uint32_t end = bin + raw32(bins + bin + 8);
            for (std::uint32_t at = bin + 32; at < end;) {
                const auto size = static_cast<std::int32_t>(raw32(bins + at));
                cells.push_back(Cell{at, static_cast<std::uint32_t>(size < 0 ? -size : size), size < 0, bin});
                at += cells.back().size;
            }
            bin = end;
        }
    }

    std::uint32_t raw32(std::size_t at) const {
        return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
    }
    void setRaw32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            bytes[at + i] = static_cast<unsigned char>(v >> (8 * i));
        }
    }
    // Fields of a cell's data, after its size.
    std::uint32_t u32(std::uint32_t cell, std::uint32_t at) const { return raw32(bins + cell + 4 + at); }
    std::uint16_t u16(std::uint32_t cell, std::uint32_t at) const { return u32(cell, at) & 0xFFFF; }
    void set32(std::uint32_t cell, std::uint32_t at, std::uint32_t v) { setRaw32(bins + cell + 4 + at, v); }
    void set16(std::uint32_t cell, std::uint32_t at, std::uint16_t v) {
        set32(cell, at, (u32(cell, at) & 0xFFFF0000) | v);
    }
    std::string kind(const Cell& cell) const {
        return std::string(reinterpret_cast<const char*>(&bytes[bins + cell.offset + 4]), 2);
    }
    std::vector<Cell> allocated(const std::string& wanted) const {
        std::vector<Cell> found;
        for (const Cell& cell : cells) {
            if (cell.allocated && kind(cell) == wanted) {
                found.push_back(cell);
            }
        }
        return found;
    }
    std::vector<Cell> leaves() const {
        std::vector<Cell> found;
        for (const char* kind : {"lh", "lf", "li"}) {
            for (const Cell& cell : allocated(kind)) {
                found.push_back(cell);
            }
        }
        return found;
    }
    std::uint32_t root() const { return raw32(36); }

    // Merges each run of free cells in a bin into one, as Windows leaves it.
    void mergeFreeNeighbours() {
        std::vector<Cell> merged;
        for (const Cell& cell : cells) {
            if (!merged.empty() && !merged.back().allocated && !cell.allocated && merged.back().bin == cell.bin) {
                merged.back().size += cell.size;
                setRaw32(bins + merged.back().offset, merged.back().size);
            } else {
                merged.push_back(cell);
            }
        }
        cells = merged;
    }
    void resum() {
        std::uint32_t sum = 0;
        for (std::size_t at = 0; at < 508; at += 4) {
            sum ^= raw32(at);
        }
        setRaw32(508, sum);
    }
};

// A hive that hivex filled, as the engine tests start from.
Bytes hivexHive(std::uint32_t minor, const std::vector<sample::Entry>& entries) {
    std::string folder = (fs::temp_directory_path() / "tarnwick-invariants-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary folder";
        return {};
    }
    const std::string path = folder + "/hive";
    std::string error;
    Bytes bytes;
    if (sample::writeEmptyHive(path, minor, error) && sample::fillHive(path, entries, error)) {
        bytes = readFile(path);
    } else {
        ADD_FAILURE() << "cannot make a hive with hivex: " << error;
    }
    fs::remove_all(folder);
    return bytes;
}

std::vector<sample::Entry> userEntries() {
    using sample::dword;
    using sample::key;
    using sample::text;
    return {
        text("Control Panel\\Desktop", "Wallpaper", "C:\\Windows\\Web\\Wallpaper\\Windows\\img0.jpg"),
        text("Control Panel\\Desktop", "WallpaperStyle", "10"),
        dword("Control Panel\\Desktop", "TileWallpaper", 0),
        text("Environment", "TEMP", "%USERPROFILE%\\AppData\\Local\\Temp", 2),
        key("Software\\Alpha"),
        key("Software\\beta"),
        key("Software\\Gamma2"),
        key("Software\\gamma10"),
        sample::Entry{"Software\\Contoso\\App", "Blob", 3, std::string(3000, 'x')},
        text("Software\\Contoso\\App", "Server", "app01.contoso.com"),
    };
}

struct Base {
    std::string name;
    Bytes bytes;
    HiveInvariantOptions options;
};

std::vector<Base> hivexHives() {
    std::vector<sample::Entry> old = userEntries();
    // Before minor version 4 a value of any size is one cell.
    old.push_back(sample::Entry{"Software\\Contoso\\Large", "Image", 3, std::string(20000, 'b')});
    std::vector<Base> hives = {{"hivex, minor 5", hivexHive(5, userEntries()), {}},
                               {"hivex, minor 3", hivexHive(3, old), {}}};
    return hives;
}

// hivex's hives with their runs of free cells merged: sound, as far as the
// checker sees.
std::vector<Base> soundHivexHives() {
    std::vector<Base> hives = hivexHives();
    for (Base& hive : hives) {
        Hive merged(hive.bytes);
        merged.mergeFreeNeighbours();
        hive.bytes = merged.bytes;
    }
    return hives;
}

// The Windows-written hives that are sound, and the switches each needs.
std::vector<Base> windowsHives() {
    HiveInvariantOptions afterCrash;
    afterCrash.unreachedCellsAllowed = true;
    const std::vector<std::pair<const char*, HiveInvariantOptions>> files = {
        {"CompHive", {}},         {"BigDataHive", {}},       {"ManySubkeysHive", {}},
        {"UnicodeHive", {}},      {"ExtendedASCIIHive", {}}, {"NewFlagsHive", {}},
        {"StringValuesHive", {}}, {"OldDirtyHive/RecoveredHive_Windows7", {}},
        {"NewDirtyHive1/RecoveredHive_Windows10", afterCrash},
    };
    std::vector<Base> hives;
    for (const auto& [file, options] : files) {
        hives.push_back(Base{file, readFile(std::string(TARNWICK_WINDOWS_HIVES) + "/" + file), options});
    }
    return hives;
}

class WindowsWritten : public ::testing::Test {
protected:
    void SetUp() override { TARNWICK_NEEDS_WINDOWS_HIVES(); }
};

TEST_F(WindowsWritten, SoundHivesKeepEveryInvariant) {
    for (const Base& hive : windowsHives()) {
        ASSERT_FALSE(hive.bytes.empty()) << hive.name << " cannot be read";
        const std::vector<std::string> violations = check(hive.bytes, hive.options);
        EXPECT_TRUE(violations.empty()) << hive.name << ":" << joined(violations);
    }
}

// The switch that Windows 10's recovery needs hides its leaked key nodes and
// nothing else.
TEST_F(WindowsWritten, RecoveryAfterACrashLeavesOnlyUnreachedKeyNodes) {
    const Bytes hive = readFile(std::string(TARNWICK_WINDOWS_HIVES) + "/NewDirtyHive1/RecoveredHive_Windows10");
    const std::vector<std::string> violations = check(hive);
    EXPECT_EQ(violations.size(), 8u) << joined(violations);
    for (const std::string& line : violations) {
        EXPECT_NE(line.find("(nk): allocated, but not reached from the root"), std::string::npos) << line;
    }
}

// hivex frees the cells of the lists it rewrites without merging them; that
// is all the checker finds in hives of ASCII names and values that fit a cell.
TEST(HivexWritten, AsciiHivesBreakOnlyTheMergingOfFreeCells) {
    HiveInvariantOptions unmerged;
    unmerged.adjacentFreeCellsAllowed = true;
    for (const Base& hive : hivexHives()) {
        ASSERT_FALSE(hive.bytes.empty());
        const std::vector<std::string> violations = check(hive.bytes);
        EXPECT_FALSE(violations.empty()) << hive.name << ": hivex merged its free cells";
        for (const std::string& line : violations) {
            EXPECT_NE(line.find("(free): a free cell right after the free cell"), std::string::npos) << line;
        }
        EXPECT_TRUE(check(hive.bytes, unmerged).empty()) << hive.name << ":" << joined(check(hive.bytes, unmerged));
    }
    for (const Base& hive : soundHivexHives()) {
        EXPECT_TRUE(check(hive.bytes).empty()) << hive.name << ", merged:" << joined(check(hive.bytes));
    }
}

// What hivex writes otherwise than Windows: the checker must see each.
TEST(HivexWritten, ItsKnownFaultsAreReported) {
    const struct {
        const char* what;
        std::uint32_t minor;
        std::vector<sample::Entry> entries;
        const char* expected;
    } cases[] = {
        {"a Cyrillic key name: hivex's lh hash is not Windows'", 5, {sample::key("Привет")}, "(lh): hash"},
        {"a value above 16,344 bytes in a minor-5 hive: one cell, not big data", 5,
         {sample::Entry{"Big", "Data", 3, std::string(16345, 'd')}}, "16345 bytes of data in one cell"},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> violations = check(hivexHive(c.minor, c.entries));
        bool found = false;
        for (const std::string& line : violations) {
            found = found || line.find(c.expected) != std::string::npos;
        }
        EXPECT_TRUE(found) << c.what << ": expected a line with \"" << c.expected << "\", got" << joined(violations);
    }
}

// Each mutation changes a sound hive where it finds what it needs, and
// returns the violation line (or its start) the checker must report; an
// empty string when the hive has nothing to mutate.
using Mutation = std::function<std::string(Hive&)>;

std::string at(std::uint32_t cell, const std::string& kind) {
    return "cell " + hex(cell) + " (" + kind + "): ";
}

// The first key whose subkey list is a leaf of at least `least` elements.
bool keyWithLeaf(const Hive& hive, std::uint32_t least, std::uint32_t& key, Hive::Cell& leaf) {
    for (const Hive::Cell& nk : hive.allocated("nk")) {
        for (const Hive::Cell& candidate : hive.leaves()) {
            if (hive.u32(nk.offset, 28) == candidate.offset && hive.u16(candidate.offset, 2) >= least) {
                key = nk.offset;
                leaf = candidate;
                return true;
            }
        }
    }
    return false;
}

const struct {
    const char* name;
    Mutation mutate;
} mutations[] = {
    {"two subkeys swapped in a list",
     [](Hive& h) -> std::string {
         for (const Hive::Cell& leaf : h.leaves()) {
             if (h.u16(leaf.offset, 2) >= 2) {
                 const std::uint32_t width = h.kind(leaf) == "li" ? 4 : 8;
                 for (std::uint32_t i = 0; i < width; i += 4) {
                     const std::uint32_t first = h.u32(leaf.offset, 4 + i);
                     h.set32(leaf.offset, 4 + i, h.u32(leaf.offset, 4 + width + i));
                     h.set32(leaf.offset, 4 + width + i, first);
                 }
                 return at(leaf.offset, h.kind(leaf)) + "out of order";
             }
         }
         return "";
     }},
    {"a wrong lh hash",
     [](Hive& h) -> std::string {
         for (const Hive::Cell& leaf : h.allocated("lh")) {
             if (h.u16(leaf.offset, 2) >= 1) {
                 h.set32(leaf.offset, 8, h.u32(leaf.offset, 8) ^ 0x10);
                 return at(leaf.offset, "lh") + "hash";
             }
         }
         return "";
     }},
    {"a free cell split in two adjacent free cells",
     [](Hive& h) -> std::string {
         for (const Hive::Cell& cell : h.cells) {
             if (!cell.allocated && cell.size >= 16) {
                 h.setRaw32(bins + cell.offset, 8);
                 h.setRaw32(bins + cell.offset + 8, cell.size - 8);
                 return at(cell.offset + 8, "free") + "a free cell right after the free cell " + hex(cell.offset);
             }
         }
         return "";
     }},
    {"a key dropped from its list, the count adjusted",
     [](Hive& h) -> std::string {
         std::uint32_t key = 0;
         Hive::Cell leaf{};
         if (!keyWithLeaf(h, 1, key, leaf)) {
             return "";
         }
         const std::uint16_t count = h.u16(leaf.offset, 2);
         const std::uint32_t dropped = h.u32(leaf.offset, 4 + (h.kind(leaf) == "li" ? 4 : 8) * (count - 1));
         h.set16(leaf.offset, 2, count - 1);
         h.set32(key, 20, h.u32(key, 20) - 1);
         return at(dropped, "nk") + "allocated, but not reached from the root";
     }},
    {"a value listed twice, its neighbour dropped",
     [](Hive& h) -> std::string {
         for (const Hive::Cell& nk : h.allocated("nk")) {
             if (h.u32(nk.offset, 36) >= 2) {
                 const std::uint32_t list = h.u32(nk.offset, 40);
                 h.set32(list, 4, h.u32(list, 0));
                 return at(h.u32(list, 0), "vk") + "reached a second time";
             }
         }
         return "";
     }},
    {"an sk reference count one too high",
     [](Hive& h) -> std::string {
         const std::uint32_t sk = h.allocated("sk").at(0).offset;
         h.set32(sk, 12, h.u32(sk, 12) + 1);
         return at(sk, "sk") + "reference count";
     }},
    {"a broken sk blink",
     [](Hive& h) -> std::string {
         const std::uint32_t sk = h.allocated("sk").at(0).offset;
         h.set32(sk, 8, h.u32(sk, 8) + 8);
         return at(sk, "sk") + "blink";
     }},
    {"a one-byte key name stored as UTF-16, its compressed flag cleared",
     [](Hive& h) -> std::string {
         for (const Hive::Cell& nk : h.allocated("nk")) {
             const std::uint16_t length = h.u16(nk.offset, 72);
             if (nk.offset == h.root() || (h.u16(nk.offset, 2) & 0x20) == 0 || length == 0 ||
                 80u + 2u * length > nk.size) {
                 continue;
             }
             const std::size_t name = bins + nk.offset + 4 + 76;
             const std::string ascii(h.bytes.begin() + name, h.bytes.begin() + name + length);
             if (!std::all_of(ascii.begin(), ascii.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
                 continue;
             }
             for (std::size_t i = length; i-- > 0;) {
                 h.bytes[name + 2 * i] = static_cast<unsigned char>(ascii[i]);
                 h.bytes[name + 2 * i + 1] = 0;
             }
             h.set16(nk.offset, 2, h.u16(nk.offset, 2) & ~0x20);
             h.set16(nk.offset, 72, 2 * length);
             return at(nk.offset, "nk") + "name '" + ascii + "' is stored as UTF-16";
         }
         return "";
     }},
    {"a value above 16,344 bytes in one cell, the hive made minor 5",
     [](Hive& h) -> std::string {
         if (h.raw32(24) >= 4) {
             return "";
         }
         for (const Hive::Cell& vk : h.allocated("vk")) {
             const std::uint32_t size = h.u32(vk.offset, 4);
             if (size > 16344 && size < 0x80000000) {
                 h.setRaw32(24, 5);
                 h.resum();
                 return at(vk.offset, "vk") + std::to_string(size) + " bytes of data in one cell";
             }
         }
         return "";
     }},
    {"a key listed as its own subkey (a cycle)",
     [](Hive& h) -> std::string {
         std::uint32_t key = 0;
         Hive::Cell leaf{};
         if (!keyWithLeaf(h, 1, key, leaf)) {
             return "";
         }
         h.set32(leaf.offset, 4, key);
         return at(key, "nk") + "reached a second time";
     }},
    {"a freed value cell left in its key's list",
     [](Hive& h) -> std::string {
         for (const Hive::Cell& nk : h.allocated("nk")) {
             if (h.u32(nk.offset, 36) >= 1) {
                 const std::uint32_t list = h.u32(nk.offset, 40);
                 const std::uint32_t vk = h.u32(list, 0);
                 h.setRaw32(bins + vk, -h.raw32(bins + vk));
                 return at(list, "value list") + "value 0 " + hex(vk) + " is a free cell";
             }
         }
         return "";
     }},
    {"a subkey count one too high",
     [](Hive& h) -> std::string {
         std::uint32_t key = 0;
         Hive::Cell leaf{};
         if (!keyWithLeaf(h, 1, key, leaf)) {
             return "";
         }
         h.set32(key, 20, h.u32(key, 20) + 1);
         return at(key, "nk") + "subkey count";
     }},
    {"a wrong parent offset",
     [](Hive& h) -> std::string {
         for (const Hive::Cell& nk : h.allocated("nk")) {
             if (nk.offset != h.root()) {
                 h.set32(nk.offset, 16, h.u32(nk.offset, 16) + 8);
                 return at(nk.offset, "nk") + "parent offset";
             }
         }
         return "";
     }},
};

// The hives the mutations start from: hivex's always, and Windows' own
// when they are beside the repository.
std::vector<Base> mutationBases() {
    std::vector<Base> bases = soundHivexHives();
    if (fs::is_directory(TARNWICK_WINDOWS_HIVES)) {
        for (Base& hive : windowsHives()) {
            if (!hive.options.unreachedCellsAllowed) {
                bases.push_back(std::move(hive));
            }
        }
    } else {
        std::printf("note: mutating hivex's hives only; no folder %s\n", TARNWICK_WINDOWS_HIVES);
    }
    return bases;
}

TEST(Mutations, EachIsReportedAtItsCell) {
    const std::vector<Base> bases = mutationBases();
    for (const auto& mutation : mutations) {
        int applied = 0;
        for (const Base& base : bases) {
            ASSERT_TRUE(check(base.bytes, base.options).empty()) << base.name << " is not sound to start with";
            Hive hive(base.bytes);
            const std::string expected = mutation.mutate(hive);
            if (expected.empty()) {
                continue;
            }
            ++applied;
            const std::vector<std::string> violations = check(hive.bytes, base.options);
            bool found = false;
            for (const std::string& line : violations) {
                found = found || line.find(expected) != std::string::npos;
            }
            EXPECT_TRUE(found) << mutation.name << " in " << base.name << ": expected \"" << expected << "\", got"
                               << joined(violations);
        }
        EXPECT_GT(applied, 0) << mutation.name << ": no hive had what it mutates";
    }
}

// Cut anywhere, a hive is reported and read within its bytes (each cut is
// copied to a buffer of exactly its size, so that a sanitizer sees any read
// beyond it).
TEST(Mutations, TruncatedFilesAreReportedWithinTheirBytes) {
    for (const Base& base : mutationBases()) {
        const std::size_t used = bins + Hive(base.bytes).raw32(40);
        for (const std::size_t cut : {std::size_t{0}, std::size_t{8}, std::size_t{4095}, std::size_t{4096},
                                      std::size_t{4096 + 40}, used / 2, used - 4096, used - 1}) {
            const Bytes truncated(base.bytes.begin(), base.bytes.begin() + cut);
            EXPECT_FALSE(check(truncated).empty()) << base.name << " cut to " << cut << " bytes";
        }
    }
}

// Random damage of a sound hive: every run must end without reading outside
// the file (the sanitizer build turns any such read into a failure), and
// damage to the root key is always reported.
TEST(Mutations, RandomDamageNeverLeadsOutsideTheFile) {
    std::mt19937 random(20240101);
    for (const Base& base : soundHivexHives()) {
        const Hive sound(base.bytes);
        const std::size_t used = bins + sound.raw32(40);
        for (int round = 0; round < 1500; ++round) {
            Bytes damaged = base.bytes;
            const int bytes = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < bytes; ++i) {
                damaged[random() % used] ^= static_cast<unsigned char>(1 + random() % 255);
            }
            damaged.resize(random() % 4 == 0 ? random() % used : used);
            const std::vector<std::string> violations = check(damaged);
            // The root's signature and flags are its first four bytes.
            const std::size_t rootSignature = bins + sound.root() + 4;
            if (damaged.size() > rootSignature + 1 &&
                (damaged[rootSignature] != 'n' || damaged[rootSignature + 1] != 'k')) {
                EXPECT_FALSE(violations.empty()) << base.name << ", round " << round;
            }
        }
    }
}

}  // namespace
