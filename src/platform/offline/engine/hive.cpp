#include "platform/offline/engine/hive.h"

#include <algorithm>
#include <cstring>

#include "platform/offline/replay/hive_log.h"

namespace regf {

bool VectorStorage::grow(std::size_t newSize) {
    if (newSize > bytes_.size()) {
        // A hive grows a bin at a time: room for many at once.
        if (newSize > bytes_.capacity()) {
            bytes_.reserve(std::max(newSize, 2 * bytes_.capacity()));
        }
        bytes_.resize(newSize);
    }
    return true;
}

namespace detail {

namespace {

// Walking a writable hive reads every page once; each part of this size is
// handed back to the storage as soon as it has been walked.
constexpr std::uint32_t releaseStep = 1u << 20;

}  // namespace

LONG Image::load(std::unique_ptr<Storage> storage, bool walk, std::vector<FreeCell>& freeCells) {
    storage_ = std::move(storage);
    const std::size_t size = storage_->size();
    if (size < hivelog::baseBlockSize + pageSize) {
        return ERROR_BADDB;
    }
    const unsigned char* base = storage_->bytes();
    if (std::memcmp(base, "regf", 4) != 0 || readDword(base + hivelog::majorVersionAt) != 1 ||
        readDword(base + hivelog::fileTypeAt) != 0 ||
        hivelog::baseBlockChecksum(base) != readDword(base + hivelog::checksumAt) ||
        readDword(base + hivelog::primarySequenceAt) != readDword(base + hivelog::secondarySequenceAt)) {
        return ERROR_BADDB;
    }
    minor_ = readDword(base + hivelog::minorVersionAt);
    binsSize_ = readDword(base + hivelog::binsSizeAt);
    root_ = readDword(base + hivelog::rootCellAt);
    if (minor_ < 2 || minor_ > 6 || binsSize_ == 0 || binsSize_ % pageSize != 0 ||
        binsSize_ > size - hivelog::baseBlockSize) {
        return ERROR_BADDB;
    }
    bins_ = storage_->bytes() + hivelog::baseBlockSize;
    if (walk) {
        const LONG walkedBins = walkBins(freeCells);
        if (walkedBins != ERROR_SUCCESS) {
            return walkedBins;
        }
        walked_ = true;
    }
    std::uint32_t payload = 0;
    if (!signedCell(root_, "nk", 76, payload)) {
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

LONG Image::walkBins(std::vector<FreeCell>& freeCells) {
    cellStarts_.assign(binsSize_ / cellAlignment / 64 + 1, 0);
    std::uint32_t releasedUpTo = 0;
    for (std::uint32_t bin = 0; bin < binsSize_;) {
        const unsigned char* header = bins_ + bin;
        const std::uint32_t binSize = readDword(header + 8);
        if (std::memcmp(header, "hbin", 4) != 0 || readDword(header + 4) != bin || binSize == 0 ||
            binSize % pageSize != 0 || binSize > binsSize_ - bin) {
            return ERROR_BADDB;
        }
        binTable_.push_back(Bin{bin, binSize});
        const std::uint32_t end = bin + binSize;
        bool previousFree = false;
        for (std::uint32_t cell = bin + binHeaderSize; cell < end;) {
            const std::int64_t field = static_cast<std::int32_t>(readDword(bins_ + cell));
            const std::uint64_t cellSize = static_cast<std::uint64_t>(field < 0 ? -field : field);
            if (cellSize == 0 || cellSize % cellAlignment != 0 || cellSize > end - cell) {
                return ERROR_BADDB;
            }
            if (field > 0) {
                // Windows merges free neighbours; a writer that did not left
                // two side by side, which are taken as one free cell here and
                // joined in the image once a neighbour changes.
                if (previousFree) {
                    freeCells.back().size += static_cast<std::uint32_t>(cellSize);
                } else {
                    freeCells.push_back(FreeCell{cell, static_cast<std::uint32_t>(cellSize)});
                    setCellStart(cell, true);
                }
            } else {
                setCellStart(cell, true);
            }
            previousFree = field > 0;
            cell += static_cast<std::uint32_t>(cellSize);
        }
        bin = end;
        if (bin - releasedUpTo >= releaseStep) {
            storage_->released(hivelog::baseBlockSize + releasedUpTo, bin - releasedUpTo);
            releasedUpTo = bin;
        }
    }
    if (releasedUpTo < binsSize_) {
        storage_->released(hivelog::baseBlockSize + releasedUpTo, binsSize_ - releasedUpTo);
    }
    return ERROR_SUCCESS;
}

bool Image::allocatedCell(std::uint32_t offset, std::uint32_t& payload) const {
    if (offset == noCell || offset % cellAlignment != 0 || offset < binHeaderSize || offset >= binsSize_) {
        return false;
    }
    if (walked_ && !isCellStart(offset)) {
        return false;
    }
    const std::int32_t field = cellSizeField(offset);
    if (field >= 0 || field == INT32_MIN) {
        return false;
    }
    const std::uint32_t cellSize = static_cast<std::uint32_t>(-field);
    if (cellSize < cellAlignment || cellSize % cellAlignment != 0 || cellSize > binsSize_ - offset) {
        return false;
    }
    payload = cellSize - 4;
    return true;
}

bool Image::signedCell(std::uint32_t offset, const char (&signature)[3], std::uint32_t minimum,
                       std::uint32_t& payload) const {
    return allocatedCell(offset, payload) && payload >= minimum && payload >= 2 &&
           bins_[offset + 4] == static_cast<unsigned char>(signature[0]) &&
           bins_[offset + 5] == static_cast<unsigned char>(signature[1]);
}

std::size_t Image::binIndexOf(std::uint32_t offset) const {
    const auto after = std::upper_bound(binTable_.begin(), binTable_.end(), offset,
                                        [](std::uint32_t at, const Bin& bin) { return at < bin.start; });
    return static_cast<std::size_t>(after - binTable_.begin()) - 1;
}

void Image::setCellStart(std::uint32_t offset, bool start) {
    std::uint64_t& word = cellStarts_[offset / cellAlignment / 64];
    const std::uint64_t bit = std::uint64_t{1} << (offset / cellAlignment % 64);
    word = start ? word | bit : word & ~bit;
}

bool Image::appendBin(std::uint32_t size) {
    if (size > 0x7FFFF000u - binsSize_) {
        return false;
    }
    const std::size_t start = hivelog::baseBlockSize + static_cast<std::size_t>(binsSize_);
    const std::size_t needed = start + size;
    const std::size_t had = storage_->size();
    if (had < needed) {
        if (!storage_->grow(needed) || storage_->size() < needed) {
            return false;
        }
    }
    bins_ = storage_->bytes() + hivelog::baseBlockSize;
    // Padding after the last bin may hold anything: the new bin starts clean.
    // (The storage zeroes what it grows by.)
    if (had > start) {
        std::memset(bins_ + binsSize_, 0, std::min(had, needed) - start);
    }
    binTable_.push_back(Bin{binsSize_, size});
    binsSize_ += size;
    cellStarts_.resize(binsSize_ / cellAlignment / 64 + 1, 0);
    return true;
}

}  // namespace detail
}  // namespace regf
