#include "platform/offline/engine/cells.h"

#include <algorithm>
#include <cstring>

namespace regf::detail {

namespace {

std::uint32_t distance(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : b - a; }

bool byOffset(const FreeCell& cell, std::uint32_t offset) { return cell.offset < offset; }

}  // namespace

void Cells::start() {
    dirty_.assign(image_.binsSize() / pageSize, false);
    recentCount_[0] = recentCount_[1] = 0;
}

bool Cells::pickInPage(std::uint32_t size, std::uint32_t anchor, std::size_t& bin, std::size_t& index) {
    if (anchor == noCell || anchor >= image_.binsSize() || !image_.binOf(anchor, bin)) {
        return false;
    }
    const std::uint32_t page = anchor / pageSize * pageSize;
    const std::vector<FreeCell>& cells = image_.bin(bin).free;
    if (image_.bin(bin).largest < size) {
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

bool Cells::pickInRecentPage(Kind kind, std::uint32_t size, std::size_t& bin, std::size_t& index) {
    const std::size_t k = kind == Kind::key ? 0 : 1;
    for (std::size_t i = 0; i < recentCount_[k]; ++i) {
        if (pickInPage(size, recent_[k][i] * pageSize, bin, index)) {
            return true;
        }
    }
    return false;
}

bool Cells::pickNear(std::uint32_t size, std::uint32_t near, std::size_t& bin, std::size_t& index) {
    if (near == noCell || near >= image_.binsSize() || !image_.binOf(near, bin) || image_.bin(bin).largest < size) {
        return false;
    }
    const std::vector<FreeCell>& cells = image_.bin(bin).free;
    std::uint32_t best = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].size >= size && distance(cells[i].offset, near) < best) {
            best = distance(cells[i].offset, near);
            index = i;
        }
    }
    return true;
}

// The largest free cell of the bins walked: a page that takes one new cell
// there takes the next ones too, which keeps the pages a large change dirties
// few.
bool Cells::pickLargest(std::uint32_t size, std::size_t& bin, std::size_t& index) {
    std::uint32_t largest = 0;
    for (std::size_t b = 0; b < image_.binCount(); ++b) {
        if (image_.bin(b).largest >= size && image_.bin(b).largest > largest) {
            largest = image_.bin(b).largest;
            bin = b;
        }
    }
    if (largest == 0) {
        return false;
    }
    const std::vector<FreeCell>& cells = image_.bin(bin).free;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (cells[i].size == largest) {
            index = i;
            return true;
        }
    }
    return false;
}

LONG Cells::addBin(std::uint32_t size, std::size_t& bin) {
    // As small as fits, a multiple of 4096, as Windows sizes the bins it adds.
    const std::uint64_t binSize = (static_cast<std::uint64_t>(size) + binHeaderSize + pageSize - 1) / pageSize * pageSize;
    const std::uint32_t start = image_.binsSize();
    if (binSize > 0x7FFFF000u || !image_.appendBin(static_cast<std::uint32_t>(binSize), bin)) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    dirty_.resize(image_.binsSize() / pageSize, false);
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

LONG Cells::allocate(Kind kind, std::uint32_t payload, std::uint32_t near, std::uint32_t& offset,
                     std::uint32_t also) {
    std::uint32_t size = alignedCellSize(payload);
    if (size == 0) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::size_t bin = 0;
    std::size_t index = 0;
    if (!pickInPage(size, near, bin, index) && !pickInPage(size, also, bin, index) &&
        !pickInRecentPage(kind, size, bin, index) && !pickNear(size, near, bin, index) &&
        !pickLargest(size, bin, index)) {
        // The hive grows only when no free cell of any bin fits, as Windows
        // grows it: the bins not walked yet are walked now.
        if (!image_.allWalked() && !image_.walkAll()) {
            return ERROR_BADDB;
        }
        if (!pickLargest(size, bin, index)) {
            const LONG added = addBin(size, bin);
            if (added != ERROR_SUCCESS) {
                return added;
            }
            index = 0;
        }
    }
    Bin& space = image_.bin(bin);
    const FreeCell chosen = space.free[index];
    // A bin walked whole was not kept in memory: the cell is read before any
    // of it is written, and a failure leaves the hive as it was.
    if (!image_.loadRange(chosen.offset, std::min(chosen.size, size + cellAlignment))) {
        return ERROR_BADDB;
    }
    if (chosen.size - size >= cellAlignment) {
        // The rest stays free, in the chosen cell's place in the list.
        const FreeCell rest{chosen.offset + size, chosen.size - size};
        put32(rest.offset, rest.size);
        image_.setCellStart(rest.offset, true);
        space.free[index] = rest;
        if (chosen.size == space.largest) {
            updateLargest(bin);
        }
    } else {
        eraseFree(bin, index);
        size = chosen.size;
    }
    put32(chosen.offset, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
    std::memset(write(chosen.offset + 4, size - 4), 0, size - 4);
    offset = chosen.offset;
    // The page goes to the front of its kind's recent pages.
    const std::size_t k = kind == Kind::key ? 0 : 1;
    std::uint32_t* recent = recent_[k];
    const std::uint32_t page = chosen.offset / pageSize;
    std::size_t at = std::find(recent, recent + recentCount_[k], page) - recent;
    if (at == recentCount_[k]) {
        at = std::min(recentCount_[k], recentPages - 1);
        recentCount_[k] = std::min(recentCount_[k] + 1, recentPages);
    }
    std::copy_backward(recent, recent + at, recent + at + 1);
    recent[0] = page;
    return ERROR_SUCCESS;
}

void Cells::release(std::uint32_t offset) {
    std::size_t bin = 0;
    image_.binOf(offset, bin);  // a cell the caller checked: its bin is walked
    Bin& space = image_.bin(bin);
    std::vector<FreeCell>& cells = space.free;
    FreeCell merged{offset, static_cast<std::uint32_t>(-image_.cellSizeField(offset))};
    auto next = std::lower_bound(cells.begin(), cells.end(), offset, byOffset);
    const std::uint32_t after = offset + merged.size;
    if (after < space.start + space.size && next != cells.end() && next->offset == after) {
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
    // A page must be read before it is first written, or a later read would
    // put the file's bytes back over what was written. A failure is counted
    // by the image, and the change is then refused and the hive not written.
    image_.loadRange(offset, length);
    if (length > 0) {
        for (std::uint32_t page = offset / pageSize; page <= (offset + length - 1) / pageSize; ++page) {
            dirty_[page] = true;
        }
    }
    return image_.mutableAt(offset);
}

// Bytes that would not change are not written, so that their page stays
// clean: setting a value again to what it holds dirties only its key's page
// (for the key's time).
void Cells::store(std::uint32_t offset, const unsigned char* bytes, std::uint32_t length) {
    if (length > 0 && (!image_.loadRange(offset, length) || std::memcmp(image_.at(offset), bytes, length) != 0)) {
        std::memcpy(write(offset, length), bytes, length);
    }
}

void Cells::put16(std::uint32_t offset, std::uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8)};
    store(offset, bytes, 2);
}

void Cells::put32(std::uint32_t offset, std::uint32_t value) {
    unsigned char bytes[4];
    hivelog::writeDword(bytes, value);
    store(offset, bytes, 4);
}

void Cells::put64(std::uint32_t offset, std::uint64_t value) {
    unsigned char bytes[8];
    hivelog::writeQword(bytes, value);
    store(offset, bytes, 8);
}

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
    std::vector<FreeCell>& cells = image_.bin(bin).free;
    cells.insert(std::lower_bound(cells.begin(), cells.end(), cell.offset, byOffset), cell);
    image_.bin(bin).largest = std::max(image_.bin(bin).largest, cell.size);
}

void Cells::eraseFree(std::size_t bin, std::size_t index) {
    Bin& space = image_.bin(bin);
    const bool wasLargest = space.free[index].size == space.largest;
    space.free.erase(space.free.begin() + static_cast<std::ptrdiff_t>(index));
    if (wasLargest) {
        updateLargest(bin);
    }
}

void Cells::updateLargest(std::size_t bin) {
    std::uint32_t largest = 0;
    for (const FreeCell& cell : image_.bin(bin).free) {
        largest = std::max(largest, cell.size);
    }
    image_.bin(bin).largest = largest;
}

}  // namespace regf::detail
