// What the engine's tests share: hive images read from files and written to
// temporary ones, a tree of keys and values as plain data, and that tree read
// by two independent readers (hivex, and libregf's regfexport).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/offline/engine/engine.h"

namespace enginetest {

struct TreeValue {
    std::u16string name;
    std::uint32_t type = 0;
    std::vector<unsigned char> data;
    bool dataKnown = true;  // regfexport prints some types as text: neither data nor size is known then
};

struct TreeKey {
    std::u16string name;
    std::vector<TreeValue> values;                 // in the key's list order
    std::map<std::u16string, TreeKey> children;   // by upcased name
};

std::u16string upcased(const std::u16string& name);
std::string utf8(const std::u16string& text);
std::u16string utf16(const std::string& utf8);

std::vector<unsigned char> readFile(const std::string& path);
// A file in the test's temporary folder holding these bytes; its path.
std::string writeTemporary(const unsigned char* bytes, std::size_t size, const std::string& name);
// An empty hive of this minor version, as the sample tool writes it.
std::vector<unsigned char> emptyHive(std::uint32_t minorVersion);

// How many times the program called operator new so far.
std::size_t allocationCount();

// How the engine gets the image: all of it in memory, or read a page at a
// time from the bytes as it asks for them (as the offline store reads a
// file), each page it never asked for left zero.
enum class Storage { vector, paged };
// Null when refused. A paged image fails every read at or beyond
// `unreadableFrom` (bins offset), as a file that cannot be read there.
std::unique_ptr<regf::Hive> openHive(std::vector<unsigned char> bytes, bool writable, Storage storage = Storage::vector,
                                     std::uint64_t unreadableFrom = UINT64_MAX);
// The whole image as the engine holds it (a vector storage's).
std::vector<unsigned char> imageOf(const regf::Hive& hive);
// The file as a write-back leaves it: the original bytes with the base block
// and every dirty page from the engine, as in place.
std::vector<unsigned char> writtenImage(const regf::Hive& hive, const std::vector<unsigned char>& original);

// The whole tree, read through the engine's own interface or from a file by
// another reader. A reader that fails leaves a root named for the failure.
TreeKey readWithEngine(regf::Hive& hive);
TreeKey readWithHivex(const std::string& path);
TreeKey readWithRegfexport(const std::string& path);

// Forgets, on both sides, the data of the values whose data the reader did
// not show (regfexport prints strings and numbers as text, and their size is
// then the text's), and of big data where the reader takes none (libregf
// reads big data in hives of minor version 5 and later only).
void maskUnknownData(TreeKey& model, TreeKey& reader, bool readsBigData);

// One line a key and a value, names upcased where Windows ignores case, for
// comparisons whose failures show where the trees differ.
std::string describe(const TreeKey& root);
// Empty when the descriptions are equal, else their first differing line.
std::string difference(const std::string& got, const std::string& expected);

}  // namespace enginetest
