#include "hive_invariants.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "platform/emulation/names.h"

namespace {

constexpr std::uint32_t baseBlockSize = 4096;
constexpr std::uint32_t binHeaderSize = 32;
constexpr std::uint32_t none = 0xFFFFFFFF;
// The most data one cell holds for a value, and the size of every big-data
// segment but the last, in hives of minor version 4 and later.
constexpr std::uint32_t segmentSize = 16344;

constexpr std::uint16_t keyHiveEntry = 0x0004;
constexpr std::uint16_t keyCompressedName = 0x0020;
constexpr std::uint16_t valueCompressedName = 0x0001;
constexpr std::uint32_t inlineData = 0x80000000;

std::uint16_t get16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

using Units = std::u16string;

// A name for a message: printable ASCII as it is, anything else as \uXXXX.
std::string shown(const Units& units) {
    std::string text = "'";
    for (const char16_t unit : units) {
        if (unit >= 0x20 && unit < 0x7F && unit != '\'') {
            text += static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
            text += escaped;
        }
    }
    return text + "'";
}

Units upcased(const Units& units) {
    Units result = units;
    for (char16_t& unit : result) {
        unit = static_cast<char16_t>(emulation::upperCaseOf(static_cast<wchar_t>(unit)));
    }
    return result;
}

bool fitsOneByte(const Units& units) {
    return std::all_of(units.begin(), units.end(), [](char16_t unit) { return unit < 0x100; });
}

struct Cell {
    std::uint32_t offset;
    std::uint32_t size;
    bool allocated;
    std::uint32_t reached;
};

// What follows a cell's size field.
struct Data {
    std::uint32_t offset = none;
    const unsigned char* bytes = nullptr;
    std::uint32_t size = 0;
    Cell* cell = nullptr;

    bool has(std::uint64_t at, std::uint64_t length) const { return at + length <= size; }
    std::uint16_t u16(std::uint32_t at) const { return get16(bytes + at); }
    std::uint32_t u32(std::uint32_t at) const { return get32(bytes + at); }
    bool signature(const char* two) const { return has(0, 2) && bytes[0] == two[0] && bytes[1] == two[1]; }
};

// A subkey as its list names it, with what the list says of its name.
struct ListedKey {
    std::uint32_t offset;
    std::uint32_t leaf;
    char kind;  // 'i' (li), 'f' (lf) or 'h' (lh)
    std::uint32_t hint;
};

struct Pending {
    std::uint32_t key;
    std::uint32_t parent;
};

class Checker {
public:
    Checker(const unsigned char* bytes, std::size_t size, const HiveInvariantOptions& options)
        : bytes_(bytes), size_(size), options_(options) {}

    std::vector<std::string> run() {
        if (checkBaseBlock()) {
            readBins();
            walkTree();
            walkSecurity();
            reportUnreached();
        }
        return std::move(violations_);
    }

private:
    void fail(const std::string& where, const std::string& what) { violations_.push_back(where + ": " + what); }

    void failCell(std::uint32_t offset, const std::string& kind, const std::string& what) {
        fail("cell " + hex(offset) + " (" + kind + ")", what);
    }

    static std::string kindOf(const Data& data) {
        static const char* const known[] = {"nk", "vk", "sk", "lf", "lh", "li", "ri", "db"};
        for (const char* kind : known) {
            if (data.signature(kind)) {
                return kind;
            }
        }
        return "data";
    }

    bool checkBaseBlock() {
        if (size_ < baseBlockSize) {
            fail("base block", "the file has " + std::to_string(size_) + " bytes, fewer than a base block's 4096");
            return false;
        }
        if (std::memcmp(bytes_, "regf", 4) != 0) {
            fail("base block", "no \"regf\" signature");
            return false;
        }
        if (get32(bytes_ + 4) != get32(bytes_ + 8)) {
            fail("base block", "sequence numbers differ (" + std::to_string(get32(bytes_ + 4)) + " and " +
                                   std::to_string(get32(bytes_ + 8)) + "): the hive is dirty");
        }
        if (get32(bytes_ + 20) != 1) {
            fail("base block", "major version " + std::to_string(get32(bytes_ + 20)) + ", not 1");
        }
        minor_ = get32(bytes_ + 24);
        if (minor_ < 2 || minor_ > 6) {
            fail("base block", "minor version " + std::to_string(minor_) + ", not 2 to 6");
        }
        if (get32(bytes_ + 28) != 0) {
            fail("base block", "file type " + std::to_string(get32(bytes_ + 28)) + ", not 0 (primary file)");
        }
        if (get32(bytes_ + 32) != 1) {
            fail("base block", "file format " + std::to_string(get32(bytes_ + 32)) + ", not 1");
        }
        std::uint32_t sum = 0;
        for (std::size_t at = 0; at < 508; at += 4) {
            sum ^= get32(bytes_ + at);
        }
        // Windows never stores 0 or 0xFFFFFFFF as a checksum.
        if (sum == 0xFFFFFFFF) {
            sum = 0xFFFFFFFE;
        } else if (sum == 0) {
            sum = 1;
        }
        if (get32(bytes_ + 508) != sum) {
            fail("base block", "checksum " + hex(get32(bytes_ + 508)) + ", but the first 508 bytes give " + hex(sum));
        }
        binsSize_ = get32(bytes_ + 40);
        const std::uint64_t available = size_ - baseBlockSize;
        if (binsSize_ == 0 || binsSize_ % 4096 != 0) {
            fail("base block", "hive bins size " + hex(binsSize_) + " is not a positive multiple of 4096");
        }
        if (binsSize_ > available) {
            fail("base block", "hive bins size " + hex(binsSize_) + " runs past the end of the file (" +
                                   hex(available) + " bytes after the base block)");
        }
        root_ = get32(bytes_ + 36);
        if (static_cast<std::uint64_t>(root_) + 4 > std::min<std::uint64_t>(binsSize_, available)) {
            fail("base block", "root cell offset " + hex(root_) + " lies outside the hive bins");
        }
        return true;
    }

    void readBins() {
        const std::uint64_t end = std::min<std::uint64_t>(binsSize_, size_ - baseBlockSize);
        std::uint64_t at = 0;
        while (at < end) {
            const std::string where = "bin " + hex(at);
            if (at + binHeaderSize > end) {
                fail(where, "the hive bins end inside its header");
                return;
            }
            const unsigned char* header = bytes_ + baseBlockSize + at;
            if (std::memcmp(header, "hbin", 4) != 0) {
                fail(where, "no \"hbin\" signature where the bins before it end");
                return;
            }
            if (get32(header + 4) != at) {
                fail(where, "its header states its offset as " + hex(get32(header + 4)));
            }
            const std::uint32_t binSize = get32(header + 8);
            if (binSize == 0 || binSize % 4096 != 0) {
                fail(where, "size " + hex(binSize) + " is not a positive multiple of 4096");
                return;
            }
            if (at + binSize > end) {
                fail(where, "size " + hex(binSize) + " runs past the end of the hive bins at " + hex(end));
                return;
            }
            readCells(at, binSize);
            at += binSize;
        }
        if (at != binsSize_) {
            fail("bins", "they cover " + hex(at) + " bytes, not the " + hex(binsSize_) + " the base block states");
        }
    }

    void readCells(std::uint64_t bin, std::uint32_t binSize) {
        const std::uint64_t end = bin + binSize;
        std::uint64_t at = bin + binHeaderSize;
        bool previousFree = false;
        std::uint32_t previous = none;
        while (at < end) {
            const std::int32_t raw = static_cast<std::int32_t>(get32(bytes_ + baseBlockSize + at));
            const std::uint64_t size = raw < 0 ? -static_cast<std::int64_t>(raw) : raw;
            const std::uint32_t offset = static_cast<std::uint32_t>(at);
            if (size == 0 || size % 8 != 0) {
                failCell(offset, "cell", "size " + std::to_string(size) +
                                             " is not a positive multiple of 8; the rest of bin " + hex(bin) +
                                             " is unread");
                return;
            }
            if (at + size > end) {
                failCell(offset, "cell", "size " + std::to_string(size) + " crosses the end of bin " + hex(bin) +
                                             " at " + hex(end));
                return;
            }
            cells_.push_back(Cell{offset, static_cast<std::uint32_t>(size), raw < 0, 0});
            if (previousFree && raw >= 0) {
                failCell(offset, "free", "a free cell right after the free cell " + hex(previous) +
                                             ": Windows merges free neighbours");
            }
            previousFree = raw >= 0;
            previous = offset;
            at += size;
        }
    }

    Cell* cellAt(std::uint32_t offset) {
        const auto found = std::lower_bound(cells_.begin(), cells_.end(), offset,
                                            [](const Cell& cell, std::uint32_t at) { return cell.offset < at; });
        return found != cells_.end() && found->offset == offset ? &*found : nullptr;
    }

    Data dataOf(Cell* cell) {
        Data data;
        data.offset = cell->offset;
        data.bytes = bytes_ + baseBlockSize + cell->offset + 4;
        data.size = cell->size - 4;
        data.cell = cell;
        return data;
    }

    // The allocated cell that a field of the cell `from` names, or a violation.
    bool resolve(std::uint32_t target, std::uint32_t from, const std::string& fromKind, const std::string& role,
                 Data& out) {
        if (target == none) {
            failCell(from, fromKind, "no " + role + " (offset 0xffffffff)");
            return false;
        }
        Cell* cell = cellAt(target);
        if (cell == nullptr) {
            failCell(from, fromKind, role + " " + hex(target) + " is not the start of a cell");
            return false;
        }
        if (!cell->allocated) {
            failCell(from, fromKind, role + " " + hex(target) + " is a free cell");
            return false;
        }
        out = dataOf(cell);
        return true;
    }

    // Counts one more path from the root to the cell; true the first time,
    // and only then may its contents be walked (so that a cycle ends).
    bool reach(const Data& data, const std::string& by) {
        if (data.cell->reached++ == 0) {
            return true;
        }
        failCell(data.offset, kindOf(data), "reached a second time, from " + by);
        return false;
    }

    static std::string from(std::uint32_t offset, const char* kind, const char* role) {
        return "cell " + hex(offset) + " (" + kind + ") as its " + role;
    }

    // The key's name, when the cell is a key node that holds it.
    static bool keyName(const Data& nk, Units& name) {
        if (!nk.signature("nk") || !nk.has(0, 76)) {
            return false;
        }
        const std::uint16_t length = nk.u16(72);
        if (!nk.has(76, length)) {
            return false;
        }
        return readName(nk.bytes + 76, length, (nk.u16(2) & keyCompressedName) != 0, name);
    }

    static bool readName(const unsigned char* p, std::uint16_t length, bool compressed, Units& name) {
        name.clear();
        if (compressed) {
            name.assign(p, p + length);
            return true;
        }
        if (length % 2 != 0) {
            return false;
        }
        for (std::uint16_t at = 0; at < length; at += 2) {
            name.push_back(static_cast<char16_t>(get16(p + at)));
        }
        return true;
    }

    // Windows stores a name in one byte a unit exactly when every unit fits.
    void checkNameForm(std::uint32_t offset, const char* kind, const Units& name, bool compressed,
                       const char* flag) {
        if (!compressed && !name.empty() && fitsOneByte(name)) {
            failCell(offset, kind, "name " + shown(name) + " is stored as UTF-16 though every unit fits one byte (" +
                                       flag + " clear)");
        }
    }

    void walkTree() {
        Cell* rootCell = cellAt(root_);
        if (rootCell == nullptr || !rootCell->allocated) {
            fail("base block", "root cell offset " + hex(root_) + " names no allocated cell");
            return;
        }
        const Data root = dataOf(rootCell);
        reach(root, "the base block");
        std::vector<Pending> pending;
        checkKey(root, none, true, pending);
        while (!pending.empty()) {
            const Pending next = pending.back();
            pending.pop_back();
            checkKey(dataOf(cellAt(next.key)), next.parent, false, pending);
        }
    }

    void checkKey(const Data& nk, std::uint32_t parent, bool isRoot, std::vector<Pending>& pending) {
        if (!nk.signature("nk") || !nk.has(0, 76)) {
            failCell(nk.offset, kindOf(nk),
                     isRoot ? "the root cell is not a key node" : "listed as a subkey, but not a key node");
            return;
        }
        const std::uint16_t flags = nk.u16(2);
        if (isRoot && (flags & keyHiveEntry) == 0) {
            failCell(nk.offset, "nk", "the root key lacks the hive-entry flag 0x4 (flags " + hex(flags) + ")");
        }
        if (!isRoot && (flags & keyHiveEntry) != 0) {
            failCell(nk.offset, "nk", "a key below the root has the hive-entry flag 0x4");
        }
        if (!isRoot && nk.u32(16) != parent) {
            failCell(nk.offset, "nk", "parent offset " + hex(nk.u32(16)) + ", but it is listed under " + hex(parent));
        }
        const std::uint16_t nameLength = nk.u16(72);
        Units name;
        if (!nk.has(76, nameLength)) {
            failCell(nk.offset, "nk", "name of " + std::to_string(nameLength) + " bytes runs past the cell's " +
                                          std::to_string(nk.size));
        } else if (!readName(nk.bytes + 76, nameLength, (flags & keyCompressedName) != 0, name)) {
            failCell(nk.offset, "nk", "UTF-16 name of an odd " + std::to_string(nameLength) + " bytes");
        } else {
            checkNameForm(nk.offset, "nk", name, (flags & keyCompressedName) != 0, "flag 0x20");
            if (name.empty() && !isRoot) {
                failCell(nk.offset, "nk", "a subkey with an empty name");
            }
        }

        std::uint32_t largestSubkeyName = 0;
        std::uint32_t largestSubkeyClass = 0;
        checkSubkeys(nk, pending, largestSubkeyName, largestSubkeyClass);
        std::uint32_t largestValueName = 0;
        std::uint32_t largestValueData = 0;
        checkValues(nk, largestValueName, largestValueData);
        checkKeySecurity(nk, isRoot);
        checkClass(nk);

        checkLargest(nk, "largest subkey name length", nk.u32(52) & 0xFFFF, largestSubkeyName);
        checkLargest(nk, "largest subkey class length", nk.u32(56), largestSubkeyClass);
        checkLargest(nk, "largest value name length", nk.u32(60), largestValueName);
        checkLargest(nk, "largest value data size", nk.u32(64), largestValueData);
    }

    void checkLargest(const Data& nk, const char* field, std::uint32_t stored, std::uint32_t actual) {
        if (stored < actual || (options_.exactLargestFields && stored != actual)) {
            failCell(nk.offset, "nk", std::string(field) + " " + std::to_string(stored) + ", but the largest is " +
                                          std::to_string(actual));
        }
    }

    void checkSubkeys(const Data& nk, std::vector<Pending>& pending, std::uint32_t& largestName,
                      std::uint32_t& largestClass) {
        const std::uint32_t count = nk.u32(20);
        const std::uint32_t list = nk.u32(28);
        if (list == none) {
            if (count != 0) {
                failCell(nk.offset, "nk", std::to_string(count) + " subkeys, but no subkey list");
            }
            return;
        }
        std::vector<ListedKey> listed;
        Data top;
        if (!resolve(list, nk.offset, "nk", "subkey list", top) ||
            !reach(top, from(nk.offset, "nk", "subkey list"))) {
            return;
        }
        if (top.signature("ri")) {
            if (!top.has(0, 4 + 4ull * top.u16(2))) {
                failCell(top.offset, "ri", std::to_string(top.u16(2)) + " elements do not fit the cell");
                return;
            }
            for (std::uint32_t i = 0; i < top.u16(2); ++i) {
                Data leaf;
                if (!resolve(top.u32(4 + 4 * i), top.offset, "ri", "element " + std::to_string(i), leaf) ||
                    !reach(leaf, from(top.offset, "ri", "element"))) {
                    continue;
                }
                if (leaf.signature("ri")) {
                    failCell(top.offset, "ri", "element " + std::to_string(i) + " is an index root too");
                    continue;
                }
                readLeaf(leaf, listed);
            }
        } else {
            readLeaf(top, listed);
        }
        if (listed.size() != count) {
            failCell(nk.offset, "nk", "subkey count " + std::to_string(count) + ", but its list holds " +
                                          std::to_string(listed.size()));
        }

        Units previous;
        std::uint32_t previousOffset = none;
        for (const ListedKey& entry : listed) {
            const char leafKind[] = {'l', entry.kind, '\0'};
            Data child;
            if (!resolve(entry.offset, entry.leaf, leafKind, "subkey", child)) {
                continue;
            }
            Units name;
            if (keyName(child, name)) {
                checkListedName(entry, leafKind, name);
                const Units upper = upcased(name);
                if (previousOffset != none && upper <= previous) {
                    failCell(entry.leaf, leafKind,
                             std::string(upper == previous ? "two subkeys of one name: " : "out of order: ") +
                                 shown(name) + " (" + hex(entry.offset) + ") follows " + hex(previousOffset));
                }
                previous = upper;
                previousOffset = entry.offset;
                // A compressed name counts two bytes a character, as the
                // UTF-16 name Windows returns.
                const bool compressed = (child.u16(2) & keyCompressedName) != 0;
                largestName = std::max<std::uint32_t>(largestName, compressed ? 2u * name.size() : child.u16(72));
                largestClass = std::max<std::uint32_t>(largestClass, child.u16(74));
            }
            if (reach(child, from(entry.leaf, leafKind, "subkey"))) {
                pending.push_back(Pending{entry.offset, nk.offset});
            }
        }
    }

    void readLeaf(const Data& leaf, std::vector<ListedKey>& listed) {
        const std::string kind = kindOf(leaf);
        std::uint32_t width = 0;
        if (kind == "li") {
            width = 4;
        } else if (kind == "lf" || kind == "lh") {
            width = 8;
        } else {
            failCell(leaf.offset, kind, "not a subkey list (li, lf, lh or ri)");
            return;
        }
        const std::uint16_t count = leaf.u16(2);
        if (!leaf.has(0, 4 + static_cast<std::uint64_t>(width) * count)) {
            failCell(leaf.offset, kind, std::to_string(count) + " elements do not fit the cell's " +
                                            std::to_string(leaf.size) + " bytes");
            return;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t at = 4 + width * i;
            listed.push_back(ListedKey{leaf.u32(at), leaf.offset, kind[1], width == 8 ? leaf.u32(at + 4) : 0});
        }
    }

    void checkListedName(const ListedKey& entry, const char* leafKind, const Units& name) {
        if (entry.kind == 'h') {
            std::uint32_t hash = 0;
            for (const char16_t unit : upcased(name)) {
                hash = 37 * hash + unit;
            }
            if (entry.hint != hash) {
                failCell(entry.leaf, leafKind, "hash " + hex(entry.hint) + " of " + shown(name) + " (" +
                                                   hex(entry.offset) + "), but its name gives " + hex(hash));
            }
        } else if (entry.kind == 'f') {
            // The hint is the first four characters as single bytes, padded
            // with nulls (Latin-1 letters too: ExtendedASCIIHive's "ëige"); a
            // name whose first characters do not all fit a byte has a null
            // first byte (UnicodeHive). Windows wrote 0x81 for the C1 control
            // U+009F in CompHive, so bytes of C1 controls are not compared.
            const Units first = name.substr(0, 4);
            unsigned char expected[4] = {0, 0, 0, 0};
            std::uint32_t compared = 0;
            if (fitsOneByte(first)) {
                for (std::size_t i = 0; i < 4; ++i) {
                    const char16_t unit = i < first.size() ? first[i] : 0;
                    if (unit < 0x80 || unit > 0x9F) {
                        expected[i] = static_cast<unsigned char>(unit);
                        compared |= 0xFFu << (8 * i);
                    }
                }
            } else {
                compared = 0xFF;
            }
            const std::uint32_t want = get32(expected);
            if ((entry.hint & compared) != want) {
                failCell(entry.leaf, leafKind, "hint " + hex(entry.hint) + " of " + shown(name) + " (" +
                                                   hex(entry.offset) + "), but its name gives " + hex(want));
            }
        }
    }

    void checkValues(const Data& nk, std::uint32_t& largestName, std::uint32_t& largestData) {
        std::uint32_t count = nk.u32(36);
        const std::uint32_t list = nk.u32(40);
        if (count == 0 && list == none) {
            return;
        }
        Data values;
        if (!resolve(list, nk.offset, "nk", "value list", values) ||
            !reach(values, from(nk.offset, "nk", "value list"))) {
            return;
        }
        if (!values.has(0, 4ull * count)) {
            failCell(nk.offset, "nk", std::to_string(count) + " values, but its value list " + hex(list) +
                                          " holds room for " + std::to_string(values.size / 4));
            count = values.size / 4;
        }
        std::set<Units> names;
        for (std::uint32_t i = 0; i < count; ++i) {
            Data vk;
            if (!resolve(values.u32(4 * i), values.offset, "value list", "value " + std::to_string(i), vk) ||
                !reach(vk, from(values.offset, "value list", "element"))) {
                continue;
            }
            Units name;
            std::uint32_t dataSize = 0;
            if (!checkValue(vk, name, dataSize)) {
                continue;
            }
            if (!names.insert(upcased(name)).second) {
                failCell(nk.offset, "nk", "two values named " + shown(name));
            }
            const bool compressed = (vk.u16(16) & valueCompressedName) != 0;
            largestName = std::max<std::uint32_t>(largestName, compressed ? 2u * name.size() : vk.u16(2));
            largestData = std::max(largestData, dataSize);
        }
    }

    bool checkValue(const Data& vk, Units& name, std::uint32_t& dataSize) {
        if (!vk.signature("vk") || !vk.has(0, 20)) {
            failCell(vk.offset, kindOf(vk), "listed as a value, but not a value cell");
            return false;
        }
        const std::uint16_t nameLength = vk.u16(2);
        const bool compressed = (vk.u16(16) & valueCompressedName) != 0;
        if (!vk.has(20, nameLength)) {
            failCell(vk.offset, "vk", "name of " + std::to_string(nameLength) + " bytes runs past the cell's " +
                                          std::to_string(vk.size));
            return false;
        }
        if (!readName(vk.bytes + 20, nameLength, compressed, name)) {
            failCell(vk.offset, "vk", "UTF-16 name of an odd " + std::to_string(nameLength) + " bytes");
            return false;
        }
        checkNameForm(vk.offset, "vk", name, compressed, "flag 0x0001");

        const std::uint32_t raw = vk.u32(4);
        const std::uint32_t target = vk.u32(8);
        dataSize = raw & ~inlineData;
        if ((raw & inlineData) != 0) {
            if (dataSize > 4) {
                failCell(vk.offset, "vk", "inline data of " + std::to_string(dataSize) + " bytes; at most 4 fit");
            }
            return true;
        }
        if (dataSize == 0 && target == none) {
            return true;
        }
        const std::string by = from(vk.offset, "vk", "data");
        Data data;
        if (!resolve(target, vk.offset, "vk", "data", data) || !reach(data, by)) {
            return true;
        }
        if (dataSize <= 4) {
            failCell(vk.offset, "vk", std::to_string(dataSize) +
                                          " bytes of data in a cell of their own; Windows keeps up to 4 inline");
        }
        if (dataSize > segmentSize && minor_ >= 4) {
            if (!data.signature("db")) {
                failCell(vk.offset, "vk", std::to_string(dataSize) + " bytes of data in one cell; above " +
                                              std::to_string(segmentSize) + " hives of minor version " +
                                              std::to_string(minor_) + " need big data");
                return true;
            }
            checkBigData(data, dataSize);
            return true;
        }
        if (!data.has(0, dataSize)) {
            failCell(data.offset, "data", "holds " + std::to_string(data.size) + " bytes of value " + hex(vk.offset) +
                                              "'s " + std::to_string(dataSize));
        }
        return true;
    }

    void checkBigData(const Data& db, std::uint32_t dataSize) {
        if (!db.has(0, 8)) {
            failCell(db.offset, "db", "too small for a big-data record");
            return;
        }
        const std::uint32_t count = db.u16(2);
        const std::uint32_t expected = (dataSize + segmentSize - 1) / segmentSize;
        if (count != expected) {
            failCell(db.offset, "db", std::to_string(count) + " segments, but " + std::to_string(dataSize) +
                                          " bytes take " + std::to_string(expected));
        }
        Data segments;
        if (!resolve(db.u32(4), db.offset, "db", "segment list", segments) ||
            !reach(segments, from(db.offset, "db", "segment list"))) {
            return;
        }
        if (!segments.has(0, 4ull * count)) {
            failCell(segments.offset, "segment list", "holds room for " + std::to_string(segments.size / 4) +
                                                          " of " + std::to_string(count) + " segments");
            return;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            Data segment;
            if (!resolve(segments.u32(4 * i), segments.offset, "segment list", "segment " + std::to_string(i),
                         segment) ||
                !reach(segment, from(segments.offset, "segment list", "element"))) {
                continue;
            }
            const std::uint64_t before = static_cast<std::uint64_t>(segmentSize) * i;
            const std::uint64_t left = dataSize > before ? dataSize - before : 0;
            const std::uint64_t need = i + 1 < count ? segmentSize : std::min<std::uint64_t>(left, segmentSize);
            if (!segment.has(0, need)) {
                failCell(segment.offset, "segment", "holds " + std::to_string(segment.size) + " bytes, not the " +
                                                        std::to_string(need) + " of segment " + std::to_string(i));
            }
        }
    }

    void checkKeySecurity(const Data& nk, bool isRoot) {
        Data sk;
        if (!resolve(nk.u32(44), nk.offset, "nk", "security cell", sk)) {
            return;
        }
        if (!sk.signature("sk") || !sk.has(0, 20)) {
            failCell(nk.offset, "nk", "security cell " + hex(sk.offset) + " is not a security cell");
            return;
        }
        ++users_[sk.offset];
        if (isRoot) {
            firstSecurity_ = sk.offset;
        }
    }

    void checkClass(const Data& nk) {
        const std::uint32_t target = nk.u32(48);
        const std::uint16_t length = nk.u16(74);
        if (target == none) {
            if (length != 0) {
                failCell(nk.offset, "nk", "class name of " + std::to_string(length) + " bytes, but no class cell");
            }
            return;
        }
        Data data;
        if (!resolve(target, nk.offset, "nk", "class name", data) ||
            !reach(data, from(nk.offset, "nk", "class name"))) {
            return;
        }
        if (!data.has(0, length)) {
            failCell(data.offset, "class", "holds " + std::to_string(data.size) + " bytes of a class name of " +
                                               std::to_string(length));
        }
    }

    // The security cells form one ring through flink, which blink walks
    // backwards; every key's cell must be on it, and each cell counts the
    // keys that use it.
    void walkSecurity() {
        if (users_.empty()) {
            return;
        }
        if (firstSecurity_ == none) {
            firstSecurity_ = users_.begin()->first;
        }
        std::set<std::uint32_t> ring;
        std::uint32_t current = firstSecurity_;
        while (true) {
            Data sk = dataOf(cellAt(current));
            ring.insert(current);
            reach(sk, "the list of security cells");
            checkDescriptor(sk);
            const std::uint32_t next = sk.u32(4);
            Data following;
            if (!resolve(next, current, "sk", "flink", following)) {
                break;
            }
            if (!following.signature("sk") || !following.has(0, 20)) {
                failCell(current, "sk", "flink " + hex(next) + " is not a security cell");
                break;
            }
            if (following.u32(8) != current) {
                failCell(next, "sk", "blink " + hex(following.u32(8)) + ", but the security cell before it is " +
                                         hex(current));
            }
            if (next == firstSecurity_) {
                break;
            }
            if (ring.count(next) != 0) {
                failCell(current, "sk", "flink " + hex(next) + " closes a loop that misses the first security cell " +
                                            hex(firstSecurity_));
                break;
            }
            current = next;
        }
        for (const auto& [offset, users] : users_) {
            if (ring.count(offset) == 0) {
                failCell(offset, "sk", "used by " + std::to_string(users) +
                                           " keys, but not on the list of security cells");
                Data sk = dataOf(cellAt(offset));
                reach(sk, "a key");
                checkDescriptor(sk);
            }
        }
        for (const std::uint32_t offset : ring) {
            const Data sk = dataOf(cellAt(offset));
            const auto found = users_.find(offset);
            const std::uint32_t users = found == users_.end() ? 0 : found->second;
            if (sk.u32(12) != users) {
                failCell(offset, "sk", "reference count " + std::to_string(sk.u32(12)) + ", but " +
                                           std::to_string(users) + " keys use it");
            } else if (users == 0) {
                failCell(offset, "sk", "no key uses it; Windows frees a security cell with its last key");
            }
        }
    }

    void checkDescriptor(const Data& sk) {
        const std::uint32_t length = sk.u32(16);
        if (!sk.has(20, length)) {
            failCell(sk.offset, "sk", "descriptor of " + std::to_string(length) + " bytes runs past the cell's " +
                                          std::to_string(sk.size));
            return;
        }
        // A self-relative descriptor of revision 1: what Windows checks on load.
        if (length < 20 || sk.bytes[20] != 1 || (sk.u16(22) & 0x8000) == 0) {
            failCell(sk.offset, "sk", "not a self-relative security descriptor of revision 1");
        }
    }

    void reportUnreached() {
        if (options_.unreachedCellsAllowed) {
            return;
        }
        for (Cell& cell : cells_) {
            if (cell.allocated && cell.reached == 0) {
                const Data data = dataOf(&cell);
                failCell(cell.offset, kindOf(data), "allocated, but not reached from the root");
            }
        }
    }

    const unsigned char* bytes_;
    std::size_t size_;
    HiveInvariantOptions options_;
    std::vector<std::string> violations_;
    std::uint32_t minor_ = 0;
    std::uint32_t binsSize_ = 0;
    std::uint32_t root_ = none;
    std::vector<Cell> cells_;
    std::map<std::uint32_t, std::uint32_t> users_;
    std::uint32_t firstSecurity_ = none;
};

}  // namespace

std::vector<std::string> checkHiveInvariants(const unsigned char* bytes, std::size_t size) {
    return checkHiveInvariants(bytes, size, HiveInvariantOptions{});
}

std::vector<std::string> checkHiveInvariants(const unsigned char* bytes, std::size_t size,
                                             const HiveInvariantOptions& options) {
    return Checker(bytes, size, options).run();
}
