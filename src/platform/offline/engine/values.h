// Values (vk cells) of a key and their data: up to 4 bytes inside the vk,
// up to 16,344 bytes in one data cell, more as big data (a db cell, its list
// of segments and the segments) in hives of minor version 4 and later, one
// cell in older ones (the regf format notes, "Key value", "Big data").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/offline/engine/cells.h"
#include "platform/offline/engine/hive.h"
#include "platform/offline/engine/names.h"

namespace regf::detail {

// Fields of a vk cell, by their offset from the cell's start.
namespace vk {
constexpr std::uint32_t nameLength = 6;
constexpr std::uint32_t dataSize = 8;
constexpr std::uint32_t data = 12;
constexpr std::uint32_t type = 16;
constexpr std::uint32_t flags = 20;
constexpr std::uint32_t name = 24;
constexpr std::uint16_t compressedName = 0x0001;
constexpr std::uint32_t inlineData = 0x80000000u;
}  // namespace vk

constexpr std::uint32_t segmentSize = 16344;

// Where a value's data is.
struct Layout {
    bool inlined = false;
    std::uint32_t size = 0;
    std::uint32_t bigData = noCell;   // the db cell
    std::uint32_t segmentList = noCell;
    std::vector<std::uint32_t> cells;  // the one data cell, or the segments in order
};

// Every cell the key's values own: the value list, the vk cells and their
// data. Each one checked.
LONG gatherValueCells(Image& image, std::uint32_t key, std::vector<std::uint32_t>& cells);

class Values {
public:
    Values(Image& image, Cells& cells) : image_(image), cells_(cells) {}

    LONG count(std::uint32_t key, std::uint32_t& count) const;
    LONG name(std::uint32_t key, std::uint32_t index, std::u16string& name) const;
    LONG find(std::uint32_t key, const std::u16string& name, bool& found, std::uint32_t& index) const;
    LONG read(std::uint32_t key, std::uint32_t index, std::uint32_t& type, std::vector<unsigned char>& data) const;

    // newKey: the key was made in this session (Keys::madeHere).
    LONG set(std::uint32_t key, std::uint32_t index, const std::u16string& name, std::uint32_t type,
             const unsigned char* data, std::uint32_t size, std::uint64_t time, bool newKey);
    LONG remove(std::uint32_t key, std::uint32_t index, std::uint64_t time);

private:
    LONG list(std::uint32_t key, std::uint32_t& list, std::uint32_t& count) const;
    LONG valueCell(std::uint32_t key, std::uint32_t index, std::uint32_t& value) const;
    LONG existing(std::uint32_t key, std::uint32_t index, std::uint32_t& listCell, std::uint32_t& count,
                  std::uint32_t& value, Layout& layout);
    LONG storeData(const unsigned char* data, std::uint32_t size, std::uint32_t near, std::uint32_t also,
                   std::uint32_t& sizeField, std::uint32_t& dataField, std::vector<std::uint32_t>& allocated);
    bool reuseCell(std::uint32_t value, const unsigned char* data, std::uint32_t size);
    void updateLargest(std::uint32_t key, std::uint32_t nameBytes, std::uint32_t size, std::uint64_t time);
    void releaseAll(const std::vector<std::uint32_t>& cells);

    Image& image_;
    Cells& cells_;
    // Reused from one change to the next, which then allocates no memory.
    std::vector<std::uint32_t> allocated_;
    std::vector<std::uint32_t> released_;
    std::vector<std::uint32_t> checked_;
    Layout old_;
};

}  // namespace regf::detail
