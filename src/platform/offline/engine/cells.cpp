#include "platform/offline/engine/cells.h"

#include <algorithm>
#include <cstring>

namespace regf::detail {

namespace {

std::uint32_t distance(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : b - a; }

bool byOffset(const FreeCell& cell, std::uint32_t offset) { return cell.offset < offset; }

}  // namespace

void Cells::load(const std::vector<FreeCell>& freeCells) {
    space_.assign(image_.bins().size(), BinSpace());
    dirty_.assign(image_.binsSize() / pageSize, false);
    for (const FreeCell& cell : freeCells) {
        space_[image_.binIndexOf(cell.offset)].cells.push_back(cell);
    }
    for (std::size_t bin = 0; bin < space_.size(); ++bin) {
        updateLargest(bin);
    }
}

bool Cells::pickInPage(std::uint32_t size, std::uint32_t anchor, std::size_t& bin, std::size_t& index) const {
    if (anchor == noCell || anchor >= image_.binsSize()) {
        return false;
    }
    const std::uint32_t page = anchor / pageSize * pageSize;
    bin = image_.binIndexOf(anchor);
    const std::vector<FreeCell>& cells = space_[bin].cells;
    if (space_[bin].largest < size) {
        return false;
    }
    for (auto cell = std::lower_bound(cells.begin(), cells.end(), page, byOffset);
         cell != cells.end() && cell->offset < page + pageSize; ++cell) {
        if (cell->size >= size && cell->offset + size <= page + pageSize) {
            index = static_cast<std::size_t>(cell - cells.begin());
            return true;
        }
    }
    return false;
}

bool Cells::pick(std::uint32_t size, std::uint32_t near, std::size_t& bin, std::size_t& index) const {
    if (near != noCell && near < image_.binsSize()) {
        const std::size_t own = image_.binIndexOf(near);
        const BinSpace& space = space_[own];
        if (space.largest >= size) {
            std::uint32_t best = 0xFFFFFFFFu;
            for (std::size_t i = 0; i < space.cells.size(); ++i) {
                if (space.cells[i].size >= size && distance(space.cells[i].offset, near) < best) {
                    best = distance(space.cells[i].offset, near);
                    bin = own;
                    index = i;
                }
            }
            return true;
        }
    }
    for (std::size_t b = 0; b < space_.size(); ++b) {
        if (space_[b].largest >= size) {
            const std::vector<FreeCell>& cells = space_[b].cells;
            for (std::size_t i = 0; i < cells.size(); ++i) {
                if (cells[i].size >= size) {
                    bin = b;
                    index = i;
                    return true;
                }
            }
        }
    }
    return false;
}

LONG Cells::addBin(std::uint32_t size, std::size_t& bin) {
    // As small as fits, a multiple of 4096, as Windows sizes the bins it adds.
    const std::uint64_t binSize = (static_cast<std::uint64_t>(size) + binHeaderSize + pageSize - 1) / pageSize * pageSize;
    const std::uint32_t start = image_.binsSize();
    if (binSize > 0x7FFFF000u || !image_.appendBin(static_cast<std::uint32_t>(binSize))) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    dirty_.resize(image_.binsSize() / pageSize, false);
    space_.emplace_back();
    bin = space_.size() - 1;
    unsigned char* header = write(start, binHeaderSize);
    std::memcpy(header, "hbin", 4);
    hivelog::writeDword(header + 4, start);
    hivelog::writeDword(header + 8, static_cast<std::uint32_t>(binSize));
    const std::uint32_t cell = start + binHeaderSize;
    const std::uint32_t cellSize = static_cast<std::uint32_t>(binSize) - binHeaderSize;
    // The whole bin is new: every page of it goes to the file.
    write(start, static_cast<std::uint32_t>(binSize));
    put32(cell, cellSize);
    image_.setCellStart(cell, true);
    insertFree(bin, FreeCell{cell, cellSize});
    return ERROR_SUCCESS;
}

LONG Cells::allocate(std::uint32_t payload, std::uint32_t near, std::uint32_t& offset, std::uint32_t also) {
    std::uint32_t size = alignedCellSize(payload);
    if (size == 0) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::size_t bin = 0;
    std::size_t index = 0;
    if (!pickInPage(size, near, bin, index) && !pickInPage(size, also, bin, index) && !pick(size, near, bin, index)) {
        const LONG added = addBin(size, bin);
        if (added != ERROR_SUCCESS) {
            return added;
        }
        index = 0;
    }
    const FreeCell chosen = space_[bin].cells[index];
    if (chosen.size - size >= cellAlignment) {
        // The rest stays free, in the chosen cell's place in the list.
        const FreeCell rest{chosen.offset + size, chosen.size - size};
        put32(rest.offset, rest.size);
        image_.setCellStart(rest.offset, true);
        space_[bin].cells[index] = rest;
        if (chosen.size == space_[bin].largest) {
            updateLargest(bin);
        }
    } else {
        eraseFree(bin, index);
        size = chosen.size;
    }
    put32(chosen.offset, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
    std::memset(write(chosen.offset + 4, size - 4), 0, size - 4);
    offset = chosen.offset;
    return ERROR_SUCCESS;
}

void Cells::release(std::uint32_t offset) {
    const std::size_t bin = image_.binIndexOf(offset);
    const Bin& extent = image_.bins()[bin];
    std::vector<FreeCell>& cells = space_[bin].cells;
    FreeCell merged{offset, static_cast<std::uint32_t>(-image_.cellSizeField(offset))};
    auto next = std::lower_bound(cells.begin(), cells.end(), offset, byOffset);
    const std::uint32_t after = offset + merged.size;
    if (after < extent.start + extent.size && next != cells.end() && next->offset == after) {
        merged.size += next->size;
        image_.setCellStart(after, false);
        next = cells.erase(next);
    }
    if (next != cells.begin()) {
        auto previous = next - 1;
        if (previous->offset + previous->size == offset) {
            merged.offset = previous->offset;
            merged.size += previous->size;
            image_.setCellStart(offset, false);
            cells.erase(previous);
        }
    }
    put32(merged.offset, merged.size);
    insertFree(bin, merged);
}

void Cells::shrink(std::uint32_t offset, std::uint32_t payload) {
    const std::uint32_t size = alignedCellSize(payload);
    const std::uint32_t current = static_cast<std::uint32_t>(-image_.cellSizeField(offset));
    if (size == 0 || current < size || current - size < cellAlignment) {
        return;
    }
    // The tail becomes a cell of its own, then is freed like any other.
    const std::uint32_t tail = offset + size;
    put32(offset, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
    put32(tail, static_cast<std::uint32_t>(-static_cast<std::int32_t>(current - size)));
    image_.setCellStart(tail, true);
    release(tail);
}

unsigned char* Cells::write(std::uint32_t offset, std::uint32_t length) {
    ++writes_;
    if (length > 0) {
        for (std::uint32_t page = offset / pageSize; page <= (offset + length - 1) / pageSize; ++page) {
            dirty_[page] = true;
        }
    }
    return image_.mutableAt(offset);
}

void Cells::put16(std::uint32_t offset, std::uint16_t value) {
    unsigned char* at = write(offset, 2);
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void Cells::put32(std::uint32_t offset, std::uint32_t value) { hivelog::writeDword(write(offset, 4), value); }

void Cells::put64(std::uint32_t offset, std::uint64_t value) { hivelog::writeQword(write(offset, 8), value); }

std::vector<std::uint32_t> Cells::dirtyPages() const {
    std::vector<std::uint32_t> pages;
    for (std::size_t page = 0; page < dirty_.size(); ++page) {
        if (dirty_[page]) {
            pages.push_back(static_cast<std::uint32_t>(page));
        }
    }
    return pages;
}

void Cells::insertFree(std::size_t bin, FreeCell cell) {
    std::vector<FreeCell>& cells = space_[bin].cells;
    cells.insert(std::lower_bound(cells.begin(), cells.end(), cell.offset, byOffset), cell);
    space_[bin].largest = std::max(space_[bin].largest, cell.size);
}

void Cells::eraseFree(std::size_t bin, std::size_t index) {
    const bool wasLargest = space_[bin].cells[index].size == space_[bin].largest;
    space_[bin].cells.erase(space_[bin].cells.begin() + static_cast<std::ptrdiff_t>(index));
    if (wasLargest) {
        updateLargest(bin);
    }
}

void Cells::updateLargest(std::size_t bin) {
    std::uint32_t largest = 0;
    for (const FreeCell& cell : space_[bin].cells) {
        largest = std::max(largest, cell.size);
    }
    space_[bin].largest = largest;
}

}  // namespace regf::detail
