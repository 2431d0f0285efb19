// Key nodes (nk cells) and their subkey lists (li, lf, lh, and ri over them):
// lookup by binary search in Windows' order, insertion in order with a full
// leaf split in two under an ri as Windows splits it, removal, whole trees
// gathered for deletion, and the references to security (sk) cells.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/offline/engine/cells.h"
#include "platform/offline/engine/hive.h"
#include "platform/offline/engine/names.h"

namespace regf::detail {

// Fields of an nk cell, by their offset from the cell's start.
namespace nk {
constexpr std::uint32_t flags = 6;
constexpr std::uint32_t time = 8;
constexpr std::uint32_t parent = 20;
constexpr std::uint32_t subkeyCount = 24;
constexpr std::uint32_t volatileSubkeys = 36;
constexpr std::uint32_t subkeys = 32;
constexpr std::uint32_t valueCount = 40;
constexpr std::uint32_t values = 44;
constexpr std::uint32_t security = 48;
constexpr std::uint32_t className = 52;
constexpr std::uint32_t largestSubkeyName = 56;
constexpr std::uint32_t largestValueName = 64;
constexpr std::uint32_t largestValueData = 68;
constexpr std::uint32_t nameLength = 76;
constexpr std::uint32_t classLength = 78;
constexpr std::uint32_t name = 80;
constexpr std::uint16_t compressedName = 0x20;
}  // namespace nk

// A subkey list cell.
struct List {
    std::uint32_t cell = noCell;
    char kind = 0;  // 'i' li, 'f' lf, 'h' lh, 'r' ri
    std::uint32_t count = 0;
    std::uint32_t capacity = 0;  // entries the cell has room for
    std::uint32_t entrySize = 4;
};

// Where a name is, or would go, in a key's subkey lists.
struct Position {
    List top;                     // the key's list: a leaf, or the ri over the leaves
    std::uint32_t leafIndex = 0;  // in the ri
    List leaf;
    std::uint32_t index = 0;      // in the leaf
    bool found = false;
};

// What a deleted tree owned, gathered and checked before anything is freed.
struct Tree {
    std::uint32_t parent = noCell;
    Position position;                     // the tree's top key in its parent's list
    std::vector<std::uint32_t> keys;       // nk cells
    std::vector<std::uint32_t> cells;      // every cell to free, the keys' included
    std::unordered_map<std::uint32_t, std::uint32_t> securityUses;  // sk cell -> keys of the tree using it
};

class Keys {
public:
    Keys(Image& image, Cells& cells) : image_(image), cells_(cells) {}

    // An nk cell whose fixed part and name lie inside it.
    bool isKey(std::uint32_t cell) const;
    std::uint32_t field(std::uint32_t key, std::uint32_t at) const { return readDword(image_.at(key + at)); }
    StoredName name(std::uint32_t key) const;

    LONG childCount(std::uint32_t key, std::uint32_t& count) const;
    LONG childAt(std::uint32_t key, std::uint32_t index, std::uint32_t& child) const;
    LONG findChild(std::uint32_t key, const std::u16string& name, std::uint32_t& child) const;

    // Whether the key was made in this session (its cell may have been
    // freed and taken again since: a hint only).
    bool madeHere(std::uint32_t key) const { return made_.count(key) != 0; }

    // A new key below parent (whose name the caller checked is free).
    LONG addChild(std::uint32_t parent, const std::u16string& name, std::uint64_t time, std::uint32_t& child);
    // Gathers the key's tree and checks every cell of it; then deleteTree
    // unlinks it from its parent and frees it.
    LONG gatherTree(std::uint32_t key, Tree& tree) const;
    void deleteTree(std::uint32_t key, const Tree& tree, std::uint64_t time);

private:
    bool readList(std::uint32_t cell, bool leafOnly, List& list) const;
    std::uint32_t entry(const List& list, std::uint32_t index) const {
        return readDword(image_.at(list.cell + 8 + index * list.entrySize));
    }
    LONG leafAt(const List& root, std::uint32_t index, List& leaf) const;
    LONG compareWith(const std::u16string& name, std::uint32_t key, int& order) const;
    LONG locate(std::uint32_t key, const std::u16string& name, Position& position) const;
    LONG findEntry(std::uint32_t parent, std::uint32_t child, Position& position) const;
    void removeAt(std::uint32_t parent, Position& position);
    LONG allocateList(char kind, std::uint32_t capacity, std::uint32_t near, List& list);
    void writeEntry(const List& list, std::uint32_t index, std::uint32_t key, const std::u16string& name);
    void moveEntries(const List& from, std::uint32_t first, std::uint32_t count, const List& to, std::uint32_t at);
    void setCount(List& list, std::uint32_t count);
    LONG insertInto(std::uint32_t parent, Position& position, std::uint32_t child, const std::u16string& name);
    void dropSecurity(std::uint32_t sk, std::uint32_t uses);

    Image& image_;
    Cells& cells_;
    std::unordered_set<std::uint32_t> made_;
};

}  // namespace regf::detail
