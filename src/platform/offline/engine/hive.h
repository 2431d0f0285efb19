// The hive's bytes: the Storage, the base block, the table of hive bins and
// bounds-checked access to cells. Offsets are relative to the start of the
// hive bins, as every offset inside a hive is (the regf format notes, "Base
// block", note 1); cell fields are named by their offset from the cell's
// start, the 4-byte size included.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/offline/engine/engine.h"
#include "platform/offline/replay/regf_fields.h"

namespace regf::detail {

using hivelog::readDword;
using hivelog::readQword;

constexpr std::uint32_t noCell = 0xFFFFFFFFu;
constexpr std::uint32_t pageSize = 4096;
constexpr std::uint32_t binHeaderSize = 32;
constexpr std::uint32_t cellAlignment = 8;

inline std::uint16_t readWord(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

inline std::uint32_t alignedCellSize(std::uint64_t payload) {
    const std::uint64_t size = (payload + 4 + cellAlignment - 1) / cellAlignment * cellAlignment;
    return size > 0x7FFFFFF8u ? 0 : static_cast<std::uint32_t>(size);
}

struct FreeCell {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

// A bin that has been walked, with its free cells (kept by Cells from then on).
struct Bin {
    std::uint32_t start = 0;
    std::uint32_t size = 0;
    std::vector<FreeCell> free;  // ascending offsets
    std::uint32_t largest = 0;   // the largest of them
    bool loaded = false;         // all its pages readable (a small bin, loaded when first walked)
};

class Image {
public:
    // The base block checks and the root.
    LONG load(std::unique_ptr<Storage> storage);

    std::uint32_t minorVersion() const { return minor_; }
    std::uint32_t rootCell() const { return root_; }
    std::uint32_t binsSize() const { return binsSize_; }

    // The bytes at a bins offset the caller has checked (and so loaded).
    // Writes go through Cells, which loads what it writes and keeps the dirty
    // pages.
    const unsigned char* at(std::uint32_t offset) const { return bins_ + offset; }
    unsigned char* mutableAt(std::uint32_t offset) { return bins_ + offset; }
    unsigned char* baseBlock() { return storage_->bytes(); }
    const unsigned char* baseBlock() const { return storage_->bytes(); }

    // Makes [offset, offset + length) of the bins readable. A failure is
    // counted: a change during which one happened must not be written back.
    bool loadRange(std::uint32_t offset, std::uint32_t length);
    // Lets the storage of a hive that is only read drop what it read; called
    // between the engine's operations, when no pointer into it is held.
    void trim();
    std::uint64_t loadFailures() const { return loadFailures_; }

    // An allocated cell at offset: 8-byte aligned, a cell start that the walk
    // of its bin found, its whole extent inside that bin, and loaded. payload
    // is its size less the size field.
    bool allocatedCell(std::uint32_t offset, std::uint32_t& payload);
    // Same, and at least minimum bytes of payload and the two-letter
    // signature at its start.
    bool signedCell(std::uint32_t offset, const char (&signature)[3], std::uint32_t minimum, std::uint32_t& payload);
    std::int32_t cellSizeField(std::uint32_t offset) const {
        return static_cast<std::int32_t>(readDword(bins_ + offset));
    }

    // The bin that holds offset, walked if it was not yet; false when the
    // bins there are damaged.
    bool binOf(std::uint32_t offset, std::size_t& index);
    Bin& bin(std::size_t index) { return binTable_[index]; }
    std::size_t binCount() const { return binTable_.size(); }
    // Walks every bin not walked yet, following them from the first, without
    // keeping their pages; false when they do not follow one another or a bin
    // is damaged.
    bool walkAll();
    bool allWalked() const { return allWalked_; }

    bool isCellStart(std::uint32_t offset) const {
        return (cellStarts_[offset / cellAlignment / 64] >> (offset / cellAlignment % 64) & 1u) != 0;
    }
    void setCellStart(std::uint32_t offset, bool start);

    // A new bin of size bytes after the last one; the caller writes its
    // header and cells. False when the storage cannot grow.
    bool appendBin(std::uint32_t size, std::size_t& index);

private:
    // Bytes of the image read for a walk, through a window of the file that
    // the walk does not keep.
    class Window;

    // Without a window, the bin's pages are kept (a small bin is loaded whole).
    bool walkBin(std::uint32_t start, Window* window, std::size_t& index);
    bool findBinStart(std::uint32_t offset, std::uint32_t& start);
    bool resizeCellStarts(std::uint32_t binsSize);

    std::unique_ptr<Storage> storage_;
    unsigned char* bins_ = nullptr;  // storage_->bytes() + 4096, renewed on growth
    std::uint32_t minor_ = 0;
    std::uint32_t root_ = noCell;
    std::uint32_t binsSize_ = 0;
    std::uint64_t loadFailures_ = 0;
    bool allWalked_ = false;
    std::vector<Bin> binTable_;          // in the order they were walked
    std::vector<std::uint32_t> pageBin_;   // per 4 KiB page: its bin's index + 1, 0 while unknown
    // One bit per 8 bytes of bins, from calloc: pages of it that no walk
    // touches take no memory.
    std::unique_ptr<std::uint64_t[], decltype(&std::free)> cellStarts_{nullptr, &std::free};
    std::size_t cellStartWords_ = 0;
};

}  // namespace regf::detail
