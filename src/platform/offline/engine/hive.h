// The hive's bytes: the Storage, the base block, the table of hive bins and
// bounds-checked access to cells. Offsets are relative to the start of the
// hive bins, as every offset inside a hive is (the regf format notes, "Base
// block", note 1); cell fields are named by their offset from the cell's
// start, the 4-byte size included.
#pragma once

#include <cstdint>
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

struct Bin {
    std::uint32_t start = 0;
    std::uint32_t size = 0;
};

struct FreeCell {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
};

class Image {
public:
    // The base block checks, the root, and for a writable hive the walk of
    // every bin (collecting its free cells, in ascending order).
    LONG load(std::unique_ptr<Storage> storage, bool walk, std::vector<FreeCell>& freeCells);

    std::uint32_t minorVersion() const { return minor_; }
    std::uint32_t rootCell() const { return root_; }
    std::uint32_t binsSize() const { return binsSize_; }
    bool walked() const { return walked_; }

    // The bytes at a bins offset the caller has checked. Writes go through
    // Cells, which keeps the dirty pages.
    const unsigned char* at(std::uint32_t offset) const { return bins_ + offset; }
    unsigned char* mutableAt(std::uint32_t offset) { return bins_ + offset; }
    unsigned char* baseBlock() { return storage_->bytes(); }
    const unsigned char* baseBlock() const { return storage_->bytes(); }

    // An allocated cell at offset: 8-byte aligned, inside the bins, its whole
    // extent too, and (in a walked hive) the start of a cell. payload is its
    // size less the size field.
    bool allocatedCell(std::uint32_t offset, std::uint32_t& payload) const;
    // Same, and at least minimum bytes of payload and the two-letter
    // signature at its start.
    bool signedCell(std::uint32_t offset, const char (&signature)[3], std::uint32_t minimum,
                    std::uint32_t& payload) const;
    std::int32_t cellSizeField(std::uint32_t offset) const {
        return static_cast<std::int32_t>(readDword(bins_ + offset));
    }

    // The walk's table of bins and of cell starts; valid in a walked hive only.
    const std::vector<Bin>& bins() const { return binTable_; }
    std::size_t binIndexOf(std::uint32_t offset) const;
    bool isCellStart(std::uint32_t offset) const {
        return (cellStarts_[offset / cellAlignment / 64] >> (offset / cellAlignment % 64) & 1u) != 0;
    }
    void setCellStart(std::uint32_t offset, bool start);

    // A new bin of size bytes after the last one; the caller writes its
    // header and cells. False when the storage cannot grow.
    bool appendBin(std::uint32_t size);

private:
    LONG walkBins(std::vector<FreeCell>& freeCells);

    std::unique_ptr<Storage> storage_;
    unsigned char* bins_ = nullptr;  // storage_->bytes() + 4096, renewed on growth
    std::uint32_t minor_ = 0;
    std::uint32_t root_ = noCell;
    std::uint32_t binsSize_ = 0;
    bool walked_ = false;
    std::vector<Bin> binTable_;
    std::vector<std::uint64_t> cellStarts_;  // one bit per 8 bytes of bins
};

}  // namespace regf::detail
