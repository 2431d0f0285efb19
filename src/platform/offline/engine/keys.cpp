#include "platform/offline/engine/keys.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "platform/offline/engine/values.h"

namespace regf::detail {

namespace {

// Fields of an sk cell, by their offset from the cell's start.
namespace sk {
constexpr std::uint32_t flink = 8;
constexpr std::uint32_t blink = 12;
constexpr std::uint32_t references = 16;
constexpr std::uint32_t fixedPart = 20;
}  // namespace sk

// The most entries Windows keeps in one list cell: what a cell in a bin of
// 4096 bytes holds, less one. Measured on a hive Windows wrote (5,000
// subkeys under an ri): li leaves split at 1,013 entries into 506 and 507.
constexpr std::uint32_t entriesPerCell(std::uint32_t entrySize) {
    return (pageSize - binHeaderSize - 8) / entrySize - 1;
}

// Room for growth, so that a list filled one entry at a time is not copied
// at every entry.
std::uint32_t grownCapacity(std::uint32_t count) { return count + 1 + count / 2; }

constexpr std::uint32_t largestCount = 0xFFFF;  // the 16-bit count of a list

}  // namespace

bool Keys::isKey(std::uint32_t cell) const {
    std::uint32_t payload = 0;
    return image_.signedCell(cell, "nk", nk::name - 4, payload) &&
           nk::name - 4 + readWord(image_.at(cell + nk::nameLength)) <= payload;
}

StoredName Keys::name(std::uint32_t key) const {
    StoredName stored;
    stored.bytes = image_.at(key + nk::name);
    stored.length = readWord(image_.at(key + nk::nameLength));
    stored.compressed = (readWord(image_.at(key + nk::flags)) & nk::compressedName) != 0;
    return stored;
}

bool Keys::readList(std::uint32_t cell, bool leafOnly, List& list) const {
    std::uint32_t payload = 0;
    if (!image_.allocatedCell(cell, payload) || payload < 4) {
        return false;
    }
    const unsigned char* at = image_.at(cell + 4);
    if (at[0] == 'l' && (at[1] == 'i' || at[1] == 'f' || at[1] == 'h')) {
        list.kind = static_cast<char>(at[1]);
    } else if (at[0] == 'r' && at[1] == 'i' && !leafOnly) {
        list.kind = 'r';
    } else {
        return false;
    }
    list.cell = cell;
    list.entrySize = list.kind == 'f' || list.kind == 'h' ? 8 : 4;
    list.count = readWord(at + 2);
    list.capacity = (payload - 4) / list.entrySize;
    return list.count <= list.capacity;
}

LONG Keys::leafAt(const List& root, std::uint32_t index, List& leaf) const {
    // An ri never points to another ri, and holds no empty leaf.
    return readList(entry(root, index), true, leaf) && leaf.count > 0 ? ERROR_SUCCESS : ERROR_BADDB;
}

LONG Keys::childCount(std::uint32_t key, std::uint32_t& count) const {
    const std::uint32_t stated = field(key, nk::subkeyCount);
    if (stated == 0) {
        count = 0;
        return ERROR_SUCCESS;
    }
    List top;
    if (!readList(field(key, nk::subkeys), false, top)) {
        return ERROR_BADDB;
    }
    std::uint64_t total = top.count;
    if (top.kind == 'r') {
        total = 0;
        for (std::uint32_t i = 0; i < top.count; ++i) {
            List leaf;
            if (leafAt(top, i, leaf) != ERROR_SUCCESS) {
                return ERROR_BADDB;
            }
            total += leaf.count;
        }
    }
    if (total != stated) {
        return ERROR_BADDB;
    }
    count = stated;
    return ERROR_SUCCESS;
}

LONG Keys::childAt(std::uint32_t key, std::uint32_t index, std::uint32_t& child) const {
    if (index >= field(key, nk::subkeyCount)) {
        return ERROR_NO_MORE_ITEMS;
    }
    List top;
    if (!readList(field(key, nk::subkeys), false, top)) {
        return ERROR_BADDB;
    }
    std::uint32_t found = noCell;
    if (top.kind != 'r') {
        if (index < top.count) {
            found = entry(top, index);
        }
    } else {
        for (std::uint32_t i = 0; i < top.count && found == noCell; ++i) {
            List leaf;
            if (leafAt(top, i, leaf) != ERROR_SUCCESS) {
                return ERROR_BADDB;
            }
            if (index < leaf.count) {
                found = entry(leaf, index);
            } else {
                index -= leaf.count;
            }
        }
    }
    if (!isKey(found)) {
        return ERROR_BADDB;
    }
    child = found;
    return ERROR_SUCCESS;
}

LONG Keys::compareWith(const std::u16string& name, std::uint32_t key, int& order) const {
    if (!isKey(key)) {
        return ERROR_BADDB;
    }
    order = compareNames(name, this->name(key));
    return ERROR_SUCCESS;
}

LONG Keys::locate(std::uint32_t key, const std::u16string& name, Position& position) const {
    position = Position();
    if (field(key, nk::subkeyCount) == 0) {
        return ERROR_SUCCESS;
    }
    if (!readList(field(key, nk::subkeys), false, position.top)) {
        return ERROR_BADDB;
    }
    const List& top = position.top;
    int order = 0;
    if (top.kind == 'r') {
        if (top.count == 0) {
            return ERROR_BADDB;
        }
        // The first leaf whose last name is not below this one; past them
        // all, the last leaf.
        std::uint32_t low = 0;
        std::uint32_t high = top.count;
        while (low < high) {
            const std::uint32_t middle = low + (high - low) / 2;
            List leaf;
            if (leafAt(top, middle, leaf) != ERROR_SUCCESS ||
                compareWith(name, entry(leaf, leaf.count - 1), order) != ERROR_SUCCESS) {
                return ERROR_BADDB;
            }
            if (order <= 0) {
                high = middle;
            } else {
                low = middle + 1;
            }
        }
        position.leafIndex = std::min(low, top.count - 1);
        if (leafAt(top, position.leafIndex, position.leaf) != ERROR_SUCCESS) {
            return ERROR_BADDB;
        }
    } else {
        position.leaf = top;
    }
    std::uint32_t low = 0;
    std::uint32_t high = position.leaf.count;
    while (low < high) {
        const std::uint32_t middle = low + (high - low) / 2;
        if (compareWith(name, entry(position.leaf, middle), order) != ERROR_SUCCESS) {
            return ERROR_BADDB;
        }
        if (order == 0) {
            position.index = middle;
            position.found = true;
            return ERROR_SUCCESS;
        }
        if (order < 0) {
            high = middle;
        } else {
            low = middle + 1;
        }
    }
    position.index = low;
    return ERROR_SUCCESS;
}

LONG Keys::findChild(std::uint32_t key, const std::u16string& name, std::uint32_t& child) const {
    Position position;
    const LONG located = locate(key, name, position);
    if (located != ERROR_SUCCESS) {
        return located;
    }
    if (!position.found) {
        return ERROR_FILE_NOT_FOUND;
    }
    child = entry(position.leaf, position.index);
    return ERROR_SUCCESS;
}

LONG Keys::allocateList(char kind, std::uint32_t capacity, std::uint32_t near, List& list) {
    list = List();
    list.kind = kind;
    list.entrySize = kind == 'f' || kind == 'h' ? 8 : 4;
    const LONG allocated = cells_.allocate(Kind::key, 4 + capacity * list.entrySize, near, list.cell);
    if (allocated != ERROR_SUCCESS) {
        return allocated;
    }
    unsigned char* at = cells_.write(list.cell + 4, 4);
    at[0] = kind == 'r' ? 'r' : 'l';
    at[1] = kind == 'r' ? 'i' : static_cast<unsigned char>(kind);
    at[2] = 0;
    at[3] = 0;
    list.capacity = (static_cast<std::uint32_t>(-image_.cellSizeField(list.cell)) - 8) / list.entrySize;
    return ERROR_SUCCESS;
}

void Keys::writeEntry(const List& list, std::uint32_t index, std::uint32_t key, const std::u16string& name) {
    const std::uint32_t at = list.cell + 8 + index * list.entrySize;
    cells_.put32(at, key);
    if (list.kind == 'h') {
        cells_.put32(at + 4, nameHash(name));
    } else if (list.kind == 'f') {
        cells_.put32(at + 4, nameHint(name));
    }
}

void Keys::moveEntries(const List& from, std::uint32_t first, std::uint32_t count, const List& to,
                       std::uint32_t at) {
    if (count == 0) {
        return;
    }
    const std::uint32_t bytes = count * from.entrySize;
    std::memmove(cells_.write(to.cell + 8 + at * to.entrySize, bytes), image_.at(from.cell + 8 + first * from.entrySize),
                 bytes);
}

void Keys::setCount(List& list, std::uint32_t count) {
    cells_.put16(list.cell + 6, static_cast<std::uint16_t>(count));
    list.count = count;
}

LONG Keys::insertInto(std::uint32_t parent, Position& position, std::uint32_t child, const std::u16string& name) {
    if (position.top.cell == noCell) {
        // The first subkey: lh lists in hives of minor version 5 and later,
        // lf before, li in version 2, which has no lf.
        const std::uint32_t minor = image_.minorVersion();
        List leaf;
        const LONG allocated = allocateList(minor >= 5 ? 'h' : minor >= 3 ? 'f' : 'i', 1, parent, leaf);
        if (allocated != ERROR_SUCCESS) {
            return allocated;
        }
        writeEntry(leaf, 0, child, name);
        setCount(leaf, 1);
        cells_.put32(parent + nk::subkeys, leaf.cell);
        return ERROR_SUCCESS;
    }
    List& top = position.top;
    List& leaf = position.leaf;
    const bool underRoot = top.kind == 'r';
    const std::uint32_t limit = entriesPerCell(leaf.entrySize);
    // A full ri cannot take another leaf: its leaves grow past the limit.
    const bool rootFull = underRoot && top.count >= std::min(entriesPerCell(4), largestCount);
    if (leaf.count < limit || rootFull) {
        if (leaf.count >= largestCount) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (leaf.count < leaf.capacity) {
            moveEntries(leaf, position.index, leaf.count - position.index, leaf, position.index + 1);
            writeEntry(leaf, position.index, child, name);
            setCount(leaf, leaf.count + 1);
            return ERROR_SUCCESS;
        }
        List grown;
        const std::uint32_t capacity =
            std::min(grownCapacity(leaf.count), std::max(limit, leaf.count + 1));
        const LONG allocated = allocateList(leaf.kind, std::min(capacity, largestCount), parent, grown);
        if (allocated != ERROR_SUCCESS) {
            return allocated;
        }
        moveEntries(leaf, 0, position.index, grown, 0);
        writeEntry(grown, position.index, child, name);
        moveEntries(leaf, position.index, leaf.count - position.index, grown, position.index + 1);
        setCount(grown, leaf.count + 1);
        cells_.put32(underRoot ? top.cell + 8 + position.leafIndex * 4 : parent + nk::subkeys, grown.cell);
        cells_.release(leaf.cell);
        return ERROR_SUCCESS;
    }

    // A full leaf splits as Windows splits it: its first half stays, the rest
    // moves to a new leaf after it in the ri, made now if there was none;
    // the new name then goes to the half it sorts into.
    const std::uint32_t half = leaf.count / 2;
    const std::uint32_t rest = leaf.count - half;
    List right;
    // A leaf a writer let grow past the limit splits into halves that are
    // still past it.
    const std::uint32_t room = std::max(rest + 1, std::min(grownCapacity(rest), limit));
    LONG allocated = allocateList(leaf.kind, std::min(room, largestCount), parent, right);
    if (allocated != ERROR_SUCCESS) {
        return allocated;
    }
    const std::uint32_t leaves = underRoot ? top.count : 1;
    if (!underRoot || top.capacity < leaves + 1) {
        List root;
        allocated = allocateList('r', std::min(grownCapacity(leaves), entriesPerCell(4)), parent, root);
        if (allocated != ERROR_SUCCESS) {
            cells_.release(right.cell);
            return allocated;
        }
        if (underRoot) {
            moveEntries(top, 0, top.count, root, 0);
            cells_.release(top.cell);
        } else {
            cells_.put32(root.cell + 8, leaf.cell);
            position.leafIndex = 0;
        }
        setCount(root, leaves);
        cells_.put32(parent + nk::subkeys, root.cell);
        top = root;
    }
    moveEntries(leaf, half, rest, right, 0);
    setCount(right, rest);
    setCount(leaf, half);
    moveEntries(top, position.leafIndex + 1, top.count - position.leafIndex - 1, top, position.leafIndex + 2);
    cells_.put32(top.cell + 8 + (position.leafIndex + 1) * 4, right.cell);
    setCount(top, top.count + 1);
    List& target = position.index <= half ? leaf : right;
    const std::uint32_t at = position.index <= half ? position.index : position.index - half;
    moveEntries(target, at, target.count - at, target, at + 1);
    writeEntry(target, at, child, name);
    setCount(target, target.count + 1);
    return ERROR_SUCCESS;
}

LONG Keys::addChild(std::uint32_t parent, const std::u16string& name, std::uint64_t time, std::uint32_t& child) {
    Position position;
    const LONG located = locate(parent, name, position);
    if (located != ERROR_SUCCESS) {
        return located;
    }
    if (position.found) {
        child = entry(position.leaf, position.index);
        return ERROR_ALREADY_EXISTS;
    }
    const std::uint32_t security = field(parent, nk::security);
    std::uint32_t payload = 0;
    if (!image_.signedCell(security, "sk", sk::fixedPart, payload) ||
        readDword(image_.at(security + sk::references)) == 0xFFFFFFFFu ||
        field(parent, nk::subkeyCount) == 0xFFFFFFFFu) {
        return ERROR_BADDB;
    }
    const std::uint32_t nameBytes = storedLength(name);
    std::uint32_t key = noCell;
    LONG status = cells_.allocate(Kind::key, nk::name - 4 + nameBytes, parent, key, position.leaf.cell);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // A new key as Windows makes one: its parent's security, no values, no
    // class, no subkeys (volatile ones neither).
    std::memcpy(cells_.write(key + 4, 2), "nk", 2);
    cells_.put16(key + nk::flags, fitsCompressed(name) ? nk::compressedName : 0);
    cells_.put64(key + nk::time, time);
    cells_.put32(key + nk::parent, parent);
    cells_.put32(key + nk::subkeys, noCell);
    cells_.put32(key + nk::volatileSubkeys, noCell);
    cells_.put32(key + nk::values, noCell);
    cells_.put32(key + nk::security, security);
    cells_.put32(key + nk::className, noCell);
    cells_.put16(key + nk::nameLength, static_cast<std::uint16_t>(nameBytes));
    storeName(name, cells_.write(key + nk::name, nameBytes));
    status = insertInto(parent, position, key, name);
    if (status != ERROR_SUCCESS) {
        cells_.release(key);
        return status;
    }
    cells_.put32(security + sk::references, readDword(image_.at(security + sk::references)) + 1);
    cells_.put32(parent + nk::subkeyCount, field(parent, nk::subkeyCount) + 1);
    // The low 16 bits hold the length; the bits above are flags of their own.
    const std::uint32_t largest = field(parent, nk::largestSubkeyName);
    const std::uint32_t length = static_cast<std::uint32_t>(name.size() * 2);
    if (length > (largest & 0xFFFF)) {
        cells_.put32(parent + nk::largestSubkeyName, (largest & 0xFFFF0000u) | length);
    }
    if (time != 0) {
        cells_.put64(parent + nk::time, time);
    }
    made_.insert(key);
    child = key;
    return ERROR_SUCCESS;
}

LONG Keys::findEntry(std::uint32_t parent, std::uint32_t child, Position& position) const {
    const LONG located = locate(parent, loadName(name(child)), position);
    if (located != ERROR_SUCCESS) {
        return located;
    }
    if (position.found && entry(position.leaf, position.index) == child) {
        return ERROR_SUCCESS;
    }
    // Two keys of one name, or a list out of order: look at every entry.
    const List top = position.top;
    if (top.cell == noCell) {
        return ERROR_BADDB;
    }
    const std::uint32_t leaves = top.kind == 'r' ? top.count : 1;
    for (std::uint32_t l = 0; l < leaves; ++l) {
        List leaf = top;
        if (top.kind == 'r' && leafAt(top, l, leaf) != ERROR_SUCCESS) {
            return ERROR_BADDB;
        }
        for (std::uint32_t i = 0; i < leaf.count; ++i) {
            if (entry(leaf, i) == child) {
                position.leafIndex = l;
                position.leaf = leaf;
                position.index = i;
                position.found = true;
                return ERROR_SUCCESS;
            }
        }
    }
    return ERROR_BADDB;
}

void Keys::removeAt(std::uint32_t parent, Position& position) {
    List& leaf = position.leaf;
    List& top = position.top;
    moveEntries(leaf, position.index + 1, leaf.count - position.index - 1, leaf, position.index);
    setCount(leaf, leaf.count - 1);
    if (leaf.count == 0) {
        if (top.kind == 'r') {
            moveEntries(top, position.leafIndex + 1, top.count - position.leafIndex - 1, top, position.leafIndex);
            setCount(top, top.count - 1);
            cells_.release(leaf.cell);
            if (top.count == 0) {
                cells_.release(top.cell);
                cells_.put32(parent + nk::subkeys, noCell);
            }
        } else {
            cells_.release(leaf.cell);
            cells_.put32(parent + nk::subkeys, noCell);
        }
    }
    cells_.put32(parent + nk::subkeyCount, field(parent, nk::subkeyCount) - 1);
}

LONG Keys::gatherTree(std::uint32_t key, Tree& tree) const {
    std::unordered_set<std::uint32_t> seen;
    // A cell met twice (a cycle, or two owners) would be freed twice.
    auto take = [&](std::uint32_t cell) {
        tree.cells.push_back(cell);
        return seen.insert(cell).second;
    };
    std::vector<std::uint32_t> pending{key};
    std::vector<std::uint32_t> valueCells;
    while (!pending.empty()) {
        const std::uint32_t current = pending.back();
        pending.pop_back();
        if (!isKey(current) || !take(current)) {
            return ERROR_BADDB;
        }
        tree.keys.push_back(current);
        const std::uint32_t className = field(current, nk::className);
        std::uint32_t payload = 0;
        if (className != noCell && (!image_.allocatedCell(className, payload) || !take(className))) {
            return ERROR_BADDB;
        }
        valueCells.clear();
        if (gatherValueCells(image_, current, valueCells) != ERROR_SUCCESS) {
            return ERROR_BADDB;
        }
        for (std::uint32_t cell : valueCells) {
            if (!take(cell)) {
                return ERROR_BADDB;
            }
        }
        const std::uint32_t security = field(current, nk::security);
        if (!image_.signedCell(security, "sk", sk::fixedPart, payload)) {
            return ERROR_BADDB;
        }
        ++tree.securityUses[security];
        const std::uint32_t count = field(current, nk::subkeyCount);
        if (count == 0) {
            continue;
        }
        List top;
        if (!readList(field(current, nk::subkeys), false, top) || !take(top.cell)) {
            return ERROR_BADDB;
        }
        std::uint64_t total = 0;
        const std::uint32_t leaves = top.kind == 'r' ? top.count : 1;
        for (std::uint32_t l = 0; l < leaves; ++l) {
            List leaf = top;
            if (top.kind == 'r' && (leafAt(top, l, leaf) != ERROR_SUCCESS || !take(leaf.cell))) {
                return ERROR_BADDB;
            }
            total += leaf.count;
            for (std::uint32_t i = 0; i < leaf.count; ++i) {
                pending.push_back(entry(leaf, i));
            }
        }
        if (total != count) {
            return ERROR_BADDB;
        }
    }
    for (const auto& [security, uses] : tree.securityUses) {
        std::uint32_t payload = 0;
        const std::uint32_t references = readDword(image_.at(security + sk::references));
        if (seen.count(security) != 0 || references < uses) {
            return ERROR_BADDB;
        }
        if (references == uses &&
            (!image_.signedCell(readDword(image_.at(security + sk::flink)), "sk", sk::fixedPart, payload) ||
             !image_.signedCell(readDword(image_.at(security + sk::blink)), "sk", sk::fixedPart, payload))) {
            return ERROR_BADDB;
        }
    }
    tree.parent = field(key, nk::parent);
    if (!isKey(tree.parent) || seen.count(tree.parent) != 0) {
        return ERROR_BADDB;
    }
    return findEntry(tree.parent, key, tree.position);
}

void Keys::dropSecurity(std::uint32_t security, std::uint32_t uses) {
    const std::uint32_t references = readDword(image_.at(security + sk::references)) - uses;
    cells_.put32(security + sk::references, references);
    if (references != 0) {
        return;
    }
    // Out of the list of security cells, then freed.
    const std::uint32_t next = readDword(image_.at(security + sk::flink));
    const std::uint32_t previous = readDword(image_.at(security + sk::blink));
    if (next != security) {
        cells_.put32(previous + sk::flink, next);
        cells_.put32(next + sk::blink, previous);
    }
    cells_.release(security);
}

void Keys::deleteTree(std::uint32_t, const Tree& tree, std::uint64_t time) {
    Position position = tree.position;
    removeAt(tree.parent, position);
    if (time != 0) {
        cells_.put64(tree.parent + nk::time, time);
    }
    for (std::uint32_t cell : tree.cells) {
        cells_.release(cell);
    }
    for (const auto& [security, uses] : tree.securityUses) {
        dropSecurity(security, uses);
    }
}

}  // namespace regf::detail
