#include "platform/offline/hive_storage.h"

#include <sys/mman.h>

#include <algorithm>
#include <unistd.h>

namespace offline {

namespace {

// Room after the file for the bins that changes add: address space only,
// which costs nothing until a page of it is used.
constexpr std::size_t growthRoom = std::size_t{1} << 30;

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t roundUp(std::size_t value) { return (value + pageSize() - 1) / pageSize() * pageSize(); }

}  // namespace

LONG MappedHiveStorage::map(int fd, std::size_t size, bool writable, std::unique_ptr<regf::Storage>& out) {
    std::unique_ptr<MappedHiveStorage> storage(new MappedHiveStorage());
    storage->writable_ = writable;
    storage->mapped_ = roundUp(size);
    storage->reserved_ = storage->mapped_ + (writable ? growthRoom : 0);
    void* const reserved =
        mmap(nullptr, storage->reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    storage->base_ = static_cast<unsigned char*>(reserved);
    // The file goes over the start of the reserved space: private, so that
    // nothing the engine writes reaches the file through the mapping.
    const int protection = PROT_READ | (writable ? PROT_WRITE : 0);
    if (mmap(storage->base_, size, protection, MAP_PRIVATE | MAP_FIXED, fd, 0) == MAP_FAILED) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    storage->usable_ = storage->mapped_;
    storage->size_ = size;
    out = std::move(storage);
    return ERROR_SUCCESS;
}

MappedHiveStorage::~MappedHiveStorage() {
    if (base_ != nullptr) {
        munmap(base_, reserved_);
    }
}

// New bytes come from anonymous pages after the file's, which read as zero.
// Bytes of the file's last page past its end read as zero too.
bool MappedHiveStorage::grow(std::size_t newSize) {
    if (newSize <= size_) {
        return true;
    }
    if (!writable_ || newSize > reserved_) {
        return false;
    }
    const std::size_t needed = roundUp(newSize);
    if (needed > usable_ && mprotect(base_ + usable_, needed - usable_, PROT_READ | PROT_WRITE) != 0) {
        return false;
    }
    usable_ = std::max(usable_, needed);
    size_ = newSize;
    return true;
}

// Only whole pages of the file that the engine has read and not written are
// given back: a dropped private page comes back from the file when it is
// read again, and one that had been written would lose what was written.
void MappedHiveStorage::released(std::size_t offset, std::size_t size) {
    const std::size_t begin = roundUp(offset);
    const std::size_t end = std::min((offset + size) / pageSize() * pageSize(), mapped_);
    if (begin < end) {
        madvise(base_ + begin, end - begin, MADV_DONTNEED);
    }
}

}  // namespace offline
