#include "platform/offline/engine/hive.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "platform/offline/replay/hive_log.h"

namespace regf {

namespace {

constexpr std::size_t filePage = 4096;

// Room after the file for the bins that changes add: address space only,
// which costs nothing until a page of it is used.
constexpr std::size_t growthRoom = std::size_t{1} << 30;
// The address space a hive's pages go into: enough for any user hive and its
// growth, so that one reservation serves hive after hive.
constexpr std::size_t usualReservation = std::size_t{4} << 30;
// The pages a reservation may keep in memory from one hive to the next. The
// first write to an anonymous page costs a fault (and here, in a VM, a costly
// one); pages kept are reused without one, and the hives of a volume touch
// much the same places. Beyond this, the memory goes back to the system.
constexpr std::size_t keptPages = 512;

std::size_t roundUp(std::size_t value) { return (value + filePage - 1) / filePage * filePage; }

// A reservation kept for the next hive: its pages marked `touched` hold the
// bytes of an earlier hive, which are read over or zeroed before use. The
// tool loads one hive after another on one thread.
struct Reservation {
    unsigned char* base = nullptr;
    std::size_t size = 0;
    std::vector<std::uint64_t> touched;
    std::size_t touchedPages = 0;
};
Reservation spare;

void giveBack(Reservation& reservation) {
    if (reservation.base != nullptr) {
        munmap(reservation.base, reservation.size);
    }
    reservation = Reservation();
}

}  // namespace

bool Storage::copy(std::size_t offset, std::size_t length, unsigned char* to) {
    if (offset > size() || length > size() - offset || !load(offset, length)) {
        return false;
    }
    if (length > 0) {
        std::memcpy(to, bytes() + offset, length);
    }
    return true;
}

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

std::unique_ptr<PagedStorage> PagedStorage::reserve(std::size_t fileSize, bool writable, FileReader reader) {
    std::unique_ptr<PagedStorage> storage(new PagedStorage());
    const std::size_t needed = roundUp(std::max<std::size_t>(fileSize, 1)) + (writable ? growthRoom : 0);
    if (spare.base != nullptr && spare.size >= needed) {
        storage->base_ = spare.base;
        storage->reserved_ = spare.size;
        storage->touched_ = std::move(spare.touched);
        storage->touchedPages_ = spare.touchedPages;
        spare = Reservation();
    } else {
        storage->reserved_ = std::max(needed, usualReservation);
        void* const memory = mmap(nullptr, storage->reserved_, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (memory == MAP_FAILED) {
            return nullptr;
        }
        storage->base_ = static_cast<unsigned char*>(memory);
    }
    storage->reader_ = std::move(reader);
    storage->fileSize_ = fileSize;
    storage->filePages_ = roundUp(fileSize) / filePage;
    storage->loaded_.assign((storage->filePages_ + 63) / 64, 0);
    storage->size_ = fileSize;
    storage->writable_ = writable;
    return storage;
}

// The pages this hive used become the reservation's touched ones; it is kept
// for the next hive unless they are too many.
PagedStorage::~PagedStorage() {
    if (base_ == nullptr) {
        return;
    }
    const std::size_t used = roundUp(size_) / filePage;
    if (touched_.size() < (used + 63) / 64) {
        touched_.resize((used + 63) / 64, 0);
    }
    // Pages of the file that were read, and every page the hive grew into
    // (zeroed by grow).
    for (std::size_t page = 0; page < used; ++page) {
        const std::uint64_t bit = std::uint64_t{1} << (page % 64);
        if (loaded(page) && (touched_[page / 64] & bit) == 0) {
            touched_[page / 64] |= bit;
            ++touchedPages_;
        }
    }
    Reservation kept{base_, reserved_, std::move(touched_), touchedPages_};
    if (kept.touchedPages > keptPages) {
        giveBack(kept);
        return;
    }
    giveBack(spare);
    spare = std::move(kept);
}

// What lies beyond the file reads as zero: a reused reservation may hold an
// earlier hive's bytes there, so they are cleared as the hive grows.
bool PagedStorage::grow(std::size_t newSize) {
    if (newSize <= size_) {
        return true;
    }
    if (!writable_ || newSize > reserved_) {
        return false;
    }
    std::memset(base_ + size_, 0, newSize - size_);
    size_ = newSize;
    return true;
}

bool PagedStorage::load(std::size_t offset, std::size_t length) {
    if (offset > size_ || length > size_ - offset) {
        return false;
    }
    // Bytes past the file's end are anonymous memory, zero until written.
    if (length == 0 || offset >= fileSize_) {
        return true;
    }
    const std::size_t last = std::min((offset + length - 1) / filePage, filePages_ - 1);
    for (std::size_t page = offset / filePage; page <= last && page < filePages_;) {
        if (loaded(page)) {
            ++page;
            continue;
        }
        // One read for each run of pages not read yet.
        std::size_t end = page + 1;
        while (end <= last && !loaded(end)) {
            ++end;
        }
        const std::size_t from = page * filePage;
        const std::size_t to = std::min(end * filePage, fileSize_);
        if (!reader_(from, base_ + from, to - from)) {
            return false;
        }
        // The rest of the file's last page reads as zero, whatever an
        // earlier hive left there.
        std::memset(base_ + to, 0, end * filePage - to);
        for (std::size_t read = page; read < end; ++read) {
            loaded_[read / 64] |= std::uint64_t{1} << (read % 64);
        }
        pagesRead_ += end - page;
        page = end;
    }
    return true;
}

bool PagedStorage::trim() {
    constexpr std::size_t keptReadOnly = 256;
    if (writable_ || pagesRead_ - pagesReadAtTrim_ <= keptReadOnly) {
        return false;
    }
    // Anonymous pages given back read as zero, and are read again on demand.
    if (madvise(base_, roundUp(fileSize_), MADV_DONTNEED) != 0) {
        return false;
    }
    std::fill(loaded_.begin(), loaded_.end(), 0);
    pagesReadAtTrim_ = pagesRead_;
    return true;
}

bool PagedStorage::copy(std::size_t offset, std::size_t length, unsigned char* to) {
    if (offset > size_ || length > size_ - offset) {
        return false;
    }
    const std::size_t end = offset + length;
    for (std::size_t at = offset; at < end;) {
        std::size_t next = std::min((at / filePage + 1) * filePage, end);
        if (loaded(at / filePage)) {
            std::memcpy(to + (at - offset), base_ + at, next - at);
        } else {
            // Pages not read yet are read straight into the caller's bytes.
            while (next < end && !loaded(next / filePage)) {
                next = std::min(next + filePage, end);
            }
            if (!reader_(at, to + (at - offset), std::min(next, fileSize_) - at)) {
                return false;
            }
        }
        at = next;
    }
    return true;
}

namespace detail {

namespace {

// A bin up to this size is loaded whole when a cell of it is first used: its
// pages are about to be read anyway. A larger one (a bin Windows sized for a
// big cell) is walked through a window, and only the cells used are loaded.
constexpr std::uint32_t loadedBinLimit = 64 * 1024;
// The window for larger bins, and for walking every bin once.
constexpr std::uint32_t binWindow = 64 * 1024;
constexpr std::uint32_t wholeWalkWindow = 256 * 1024;

bool isBinHeader(const unsigned char* header, std::uint32_t at) {
    return std::memcmp(header, "hbin", 4) == 0 && readDword(header + 4) == at;
}

}  // namespace

class Image::Window {
public:
    Window(Image& image, std::uint32_t size) : image_(image), size_(size) {}

    // The bytes [offset, offset + length) of the bins, read into the window
    // when they are not in it; null when they cannot be read. With
    // `backward`, a refill ends at the range's page, as a search towards the
    // start of the bins wants.
    const unsigned char* get(std::uint32_t offset, std::uint32_t length, bool backward = false) {
        if (offset >= from_ && offset - from_ <= filled_ && length <= filled_ - (offset - from_)) {
            return bytes_.get() + (offset - from_);
        }
        const std::uint32_t page = offset / pageSize * pageSize;
        std::uint32_t from = page;
        std::uint32_t to = std::max(offset + length, page + size_);
        if (backward) {
            to = std::max(offset + length, page + pageSize);
            from = std::min(page, to > size_ ? (to - size_) / pageSize * pageSize : 0);
        }
        to = std::min(to, image_.binsSize_);
        if (to < offset + length) {
            return nullptr;
        }
        if (to - from > capacity_) {
            // Not zeroed: every byte is copied in before it is read.
            bytes_.reset(new unsigned char[to - from]);
            capacity_ = to - from;
        }
        filled_ = 0;
        if (!image_.storage_->copy(hivelog::baseBlockSize + from, to - from, bytes_.get())) {
            return nullptr;
        }
        from_ = from;
        filled_ = to - from;
        return bytes_.get() + (offset - from_);
    }

private:
    Image& image_;
    std::uint32_t size_;
    std::unique_ptr<unsigned char[]> bytes_;
    std::uint32_t capacity_ = 0;
    std::uint32_t from_ = 0;
    std::uint32_t filled_ = 0;
};

LONG Image::load(std::unique_ptr<Storage> storage) {
    storage_ = std::move(storage);
    const std::size_t size = storage_->size();
    if (size < hivelog::baseBlockSize + pageSize || !storage_->load(0, hivelog::baseBlockSize)) {
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
    pageBin_.assign(binsSize_ / pageSize, 0);
    if (!resizeCellStarts(binsSize_)) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    std::uint32_t payload = 0;
    if (!signedCell(root_, "nk", 76, payload)) {
        return ERROR_BADDB;
    }
    return ERROR_SUCCESS;
}

bool Image::resizeCellStarts(std::uint32_t binsSize) {
    const std::size_t words = binsSize / cellAlignment / 64 + 1;
    if (!cellStarts_) {
        cellStarts_.reset(static_cast<std::uint64_t*>(std::calloc(words, sizeof(std::uint64_t))));
    } else if (words > cellStartWords_) {
        auto* grown = static_cast<std::uint64_t*>(std::realloc(cellStarts_.get(), words * sizeof(std::uint64_t)));
        if (grown == nullptr) {
            return false;
        }
        static_cast<void>(cellStarts_.release());
        cellStarts_.reset(grown);
        std::fill(grown + cellStartWords_, grown + words, 0);
    }
    if (!cellStarts_) {
        return false;
    }
    cellStartWords_ = std::max(cellStartWords_, words);
    return true;
}

void Image::trim() {
    if (storage_->trim()) {
        for (Bin& bin : binTable_) {
            bin.loaded = false;
        }
        static_cast<void>(storage_->load(0, hivelog::baseBlockSize));
    }
}

bool Image::loadRange(std::uint32_t offset, std::uint32_t length) {
    if (storage_->load(hivelog::baseBlockSize + std::size_t{offset}, length)) {
        return true;
    }
    ++loadFailures_;
    return false;
}

bool Image::allocatedCell(std::uint32_t offset, std::uint32_t& payload) {
    if (offset == noCell || offset % cellAlignment != 0 || offset < binHeaderSize || offset >= binsSize_) {
        return false;
    }
    std::size_t index = 0;
    if (!binOf(offset, index) || !isCellStart(offset)) {
        return false;
    }
    const Bin& bin = binTable_[index];
    if (!bin.loaded && !loadRange(offset, 4)) {
        return false;
    }
    const std::int32_t field = cellSizeField(offset);
    if (field >= 0 || field == INT32_MIN) {
        return false;
    }
    const std::uint32_t cellSize = static_cast<std::uint32_t>(-field);
    if (cellSize < cellAlignment || cellSize % cellAlignment != 0 || cellSize > bin.start + bin.size - offset ||
        (!bin.loaded && !loadRange(offset, cellSize))) {
        return false;
    }
    payload = cellSize - 4;
    return true;
}

bool Image::signedCell(std::uint32_t offset, const char (&signature)[3], std::uint32_t minimum,
                       std::uint32_t& payload) {
    return allocatedCell(offset, payload) && payload >= minimum && payload >= 2 &&
           bins_[offset + 4] == static_cast<unsigned char>(signature[0]) &&
           bins_[offset + 5] == static_cast<unsigned char>(signature[1]);
}

bool Image::binOf(std::uint32_t offset, std::size_t& index) {
    if (offset >= binsSize_) {
        return false;
    }
    const std::uint32_t known = pageBin_[offset / pageSize];
    if (known != 0) {
        index = known - 1;
        return true;
    }
    std::uint32_t start = 0;
    if (!findBinStart(offset, start) || !walkBin(start, nullptr, index)) {
        return false;
    }
    return offset < binTable_[index].start + binTable_[index].size;
}

// The bin that holds offset starts at the nearest page at or before it that
// begins with a bin header naming its own offset, and no bin already walked
// lies in between (a walked bin ends where the next one starts, and that page
// had no header). Only a whole walk follows the bins from the first; a cell
// whose data mimicked a bin header at a page boundary would be taken for one
// until then.
bool Image::findBinStart(std::uint32_t offset, std::uint32_t& start) {
    const std::uint32_t page = offset / pageSize;
    if (!loadRange(page * pageSize, binHeaderSize)) {
        return false;
    }
    if (isBinHeader(at(page * pageSize), page * pageSize)) {
        start = page * pageSize;
        return true;
    }
    Window window(*this, binWindow);
    for (std::uint32_t q = page; q-- > 0;) {
        if (pageBin_[q] != 0) {
            return false;
        }
        const unsigned char* header = window.get(q * pageSize, binHeaderSize, true);
        if (header == nullptr) {
            return false;
        }
        if (isBinHeader(header, q * pageSize)) {
            start = q * pageSize;
            return true;
        }
    }
    return false;
}

// The cells of a bin must tile it exactly. Free neighbours that a writer left
// unmerged (Windows merges them) are taken as one free cell and joined in the
// image once a neighbour changes.
bool Image::walkBin(std::uint32_t start, Window* window, std::size_t& index) {
    if (start % pageSize != 0 || start >= binsSize_) {
        return false;
    }
    const unsigned char* header = nullptr;
    if (window != nullptr) {
        header = window->get(start, binHeaderSize);
    } else if (loadRange(start, binHeaderSize)) {
        header = at(start);
    }
    if (header == nullptr || !isBinHeader(header, start)) {
        return false;
    }
    const std::uint32_t size = readDword(header + 8);
    if (size == 0 || size % pageSize != 0 || size > binsSize_ - start) {
        return false;
    }
    const std::uint32_t end = start + size;
    for (std::uint32_t page = start / pageSize; page < end / pageSize; ++page) {
        if (pageBin_[page] != 0) {
            return false;
        }
    }
    const bool inMemory = window == nullptr && size <= loadedBinLimit;
    if (inMemory && !loadRange(start, size)) {
        return false;
    }
    Window own(*this, binWindow);
    Window& reader = window != nullptr ? *window : own;

    Bin bin{start, size, {}, 0, inMemory};
    bool previousFree = false;
    bool sound = true;
    for (std::uint32_t cell = start + binHeaderSize; cell < end;) {
        const unsigned char* field = inMemory ? at(cell) : reader.get(cell, 4);
        if (field == nullptr) {
            sound = false;
            break;
        }
        const std::int64_t value = static_cast<std::int32_t>(readDword(field));
        const std::uint64_t cellSize = static_cast<std::uint64_t>(value < 0 ? -value : value);
        if (cellSize == 0 || cellSize % cellAlignment != 0 || cellSize > end - cell) {
            sound = false;
            break;
        }
        if (value > 0 && previousFree) {
            bin.free.back().size += static_cast<std::uint32_t>(cellSize);
        } else {
            if (value > 0) {
                bin.free.push_back(FreeCell{cell, static_cast<std::uint32_t>(cellSize)});
            }
            setCellStart(cell, true);
        }
        previousFree = value > 0;
        cell += static_cast<std::uint32_t>(cellSize);
    }
    if (!sound) {
        // Bins are whole pages, so their bits are whole words.
        std::fill(cellStarts_.get() + start / cellAlignment / 64, cellStarts_.get() + end / cellAlignment / 64, 0);
        return false;
    }
    for (const FreeCell& cell : bin.free) {
        bin.largest = std::max(bin.largest, cell.size);
    }
    index = binTable_.size();
    binTable_.push_back(std::move(bin));
    std::fill(pageBin_.begin() + start / pageSize, pageBin_.begin() + end / pageSize,
              static_cast<std::uint32_t>(index + 1));
    return true;
}

bool Image::walkAll() {
    if (allWalked_) {
        return true;
    }
    Window window(*this, wholeWalkWindow);
    for (std::uint32_t position = 0; position < binsSize_;) {
        const std::uint32_t known = pageBin_[position / pageSize];
        std::size_t index = known - 1;
        if (known == 0 && !walkBin(position, &window, index)) {
            return false;
        }
        // A bin walked before must be the one the chain of bins reaches here.
        if (binTable_[index].start != position) {
            return false;
        }
        position += binTable_[index].size;
    }
    allWalked_ = true;
    return true;
}

void Image::setCellStart(std::uint32_t offset, bool start) {
    std::uint64_t& word = cellStarts_[offset / cellAlignment / 64];
    const std::uint64_t bit = std::uint64_t{1} << (offset / cellAlignment % 64);
    word = start ? word | bit : word & ~bit;
}

bool Image::appendBin(std::uint32_t size, std::size_t& index) {
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
    // (The storage zeroes what it grows by.) The padding is loaded first, so
    // that no later load puts the file's bytes back over the new bin.
    if (had > start) {
        const std::size_t padding = std::min(had, needed) - start;
        if (!storage_->load(start, padding)) {
            ++loadFailures_;
            return false;
        }
        std::memset(bins_ + binsSize_, 0, padding);
    }
    if (!resizeCellStarts(binsSize_ + size)) {
        return false;
    }
    index = binTable_.size();
    binTable_.push_back(Bin{binsSize_, size, {}, 0, true});
    pageBin_.resize((binsSize_ + size) / pageSize, static_cast<std::uint32_t>(index + 1));
    binsSize_ += size;
    return true;
}

}  // namespace detail
}  // namespace regf
