// tarnwick's own regf hive engine: reads and changes a hive file's image in
// memory as Windows' registry code would, from the regf format notes. Bytes
// in, bytes out: the store above supplies the image (Storage) and writes the
// changed pages back; the engine never touches a file. This is the only
// header of the engine the store includes; nothing above it sees a cell
// offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace regf {

// An opaque key handle, never a cell offset. Handles of keys that a
// deleteKeyTree removed answer ERROR_KEY_DELETED from then on, even once
// their cells are reused.
using KeyRef = std::uint32_t;

// The index that makes setValue append a value.
constexpr std::uint32_t newValue = 0xFFFFFFFFu;

// The hive file's image: the 4096-byte base block, then the hive bins (and
// whatever padding the file holds after them). The engine reads and writes
// these bytes in place and keeps no pointer to them across grow(). It reads
// no byte of the bins before load() has made it readable, and writes none
// before that either (a load must not overwrite what was written).
class Storage {
public:
    virtual ~Storage() = default;
    virtual unsigned char* bytes() = 0;
    virtual std::size_t size() const = 0;
    // At least newSize bytes from now on, the new ones zero and readable;
    // bytes() may move. False when there is no memory for them.
    virtual bool grow(std::size_t newSize) = 0;
    // Makes [offset, offset + length) readable through bytes(), the range
    // inside size(). False when the bytes cannot be had; they are then not
    // to be relied on.
    virtual bool load(std::size_t /*offset*/, std::size_t /*length*/) { return true; }
    // Copies [offset, offset + length) of the image as it stands into `to`
    // without keeping it in memory: for what the engine reads once only.
    virtual bool copy(std::size_t offset, std::size_t length, unsigned char* to);
    // For a hive that is only read, at a moment when the engine holds no
    // pointer into it: may drop what it read (to be read again at the next
    // load). True when it did.
    virtual bool trim() { return false; }
};

// A Storage over a vector: a hive replayed from its logs, or a test's image.
class VectorStorage : public Storage {
public:
    explicit VectorStorage(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}
    unsigned char* bytes() override { return bytes_.data(); }
    std::size_t size() const override { return bytes_.size(); }
    bool grow(std::size_t newSize) override;
    const std::vector<unsigned char>& vector() const { return bytes_; }

private:
    std::vector<unsigned char> bytes_;
};

// Reads `length` bytes of the hive file at `offset` into `to`; false when it
// cannot read them all.
using FileReader = std::function<bool(std::uint64_t offset, unsigned char* to, std::size_t length)>;

// A Storage that reads the hive file a page at a time, the first time the
// engine asks for the page, into memory reserved for the whole file (and, for
// a writable hive, room to grow): only the pages the engine uses are read or
// take memory, however large the hive. A page it then changes is written in
// place, with none of the copy-on-write faults a private mapping of the file
// would cost.
class PagedStorage : public Storage {
public:
    // Null when the memory cannot be reserved.
    static std::unique_ptr<PagedStorage> reserve(std::size_t fileSize, bool writable, FileReader reader);
    ~PagedStorage() override;
    PagedStorage(const PagedStorage&) = delete;
    PagedStorage& operator=(const PagedStorage&) = delete;

    unsigned char* bytes() override { return base_; }
    std::size_t size() const override { return size_; }
    bool grow(std::size_t newSize) override;
    bool load(std::size_t offset, std::size_t length) override;
    bool copy(std::size_t offset, std::size_t length, unsigned char* to) override;
    // A read-only hive keeps at most 1 MiB of the pages read since the last
    // trim: a run reads SOFTWARE's profile list from first to last while it
    // walks the profiles, and memory stays flat however many there are.
    bool trim() override;
    // Pages read from the file so far (for tests and measurements).
    std::size_t pagesRead() const { return pagesRead_; }

private:
    PagedStorage() = default;
    bool loaded(std::size_t page) const {
        return page >= filePages_ || (loaded_[page / 64] >> (page % 64) & 1u) != 0;
    }

    FileReader reader_;
    unsigned char* base_ = nullptr;
    std::size_t reserved_ = 0;
    std::size_t fileSize_ = 0;
    std::size_t filePages_ = 0;
    std::size_t size_ = 0;
    bool writable_ = false;
    std::vector<std::uint64_t> loaded_;  // a bit per page of the file
    std::size_t pagesRead_ = 0;
    std::size_t pagesReadAtTrim_ = 0;
    // The reservation's pages that hold bytes of this or an earlier hive.
    std::vector<std::uint64_t> touched_;
    std::size_t touchedPages_ = 0;
};

namespace detail {
class HiveState;
}

class Hive {
public:
    Hive(const Hive&) = delete;
    Hive& operator=(const Hive&) = delete;
    ~Hive();

    // Checks the base block (regf, major 1, minor 2 to 6, type 0, checksum,
    // equal sequence numbers, a bins size that is a non-zero multiple of 4096
    // within the image) and the root, an allocated nk. The bins are walked a
    // bin at a time, the first time a cell of that bin is used (its cells
    // must tile it, and a cell must start where the walk found one), and all
    // of them once a change needs space that the bins walked so far lack.
    // ERROR_BADDB for any failure, with nothing written.
    static LONG open(std::unique_ptr<Storage> storage, bool writable, std::unique_ptr<Hive>& out);

    std::uint32_t minorVersion() const;
    KeyRef root() const;

    // Names are UTF-16 units, compared as Windows compares them (each unit
    // upcased). ERROR_FILE_NOT_FOUND when there is no such child.
    LONG findChild(KeyRef key, const std::u16string& name, KeyRef& child);
    LONG childCount(KeyRef key, std::uint32_t& count);
    // In the subkey list's order, which is Windows' order of names.
    LONG childAt(KeyRef key, std::uint32_t index, KeyRef& child);
    LONG keyName(KeyRef key, std::u16string& name);
    LONG lastWriteTime(KeyRef key, std::uint64_t& time);  // a FILETIME as one number
    LONG valueCount(KeyRef key, std::uint32_t& count);
    // The index is the position in the key's value list.
    LONG valueName(KeyRef key, std::uint32_t index, std::u16string& name);
    LONG findValue(KeyRef key, const std::u16string& name, bool& found, std::uint32_t& index);
    // The type and the data as stored, big data joined.
    LONG readValue(KeyRef key, std::uint32_t index, std::uint32_t& type, std::vector<unsigned char>& data);

    bool writable() const;
    // ERROR_ALREADY_EXISTS (child set to that key) when the name is taken.
    LONG addChild(KeyRef parent, const std::u16string& name, KeyRef& child);
    // Replaces the type and data of the value at index (its stored name
    // stays) or, with index newValue, sets the value of that name (replacing
    // one that exists). Any type number; any size below 1 GiB.
    LONG setValue(KeyRef key, std::uint32_t index, const std::u16string& name, std::uint32_t type,
                  const unsigned char* data, std::size_t size);
    LONG deleteValue(KeyRef key, std::uint32_t index);
    // Removes the key and everything below it, freeing every cell they owned.
    // ERROR_ACCESS_DENIED for the root.
    LONG deleteKeyTree(KeyRef key);
    LONG setLastWriteTime(KeyRef key, std::uint64_t time);
    // When not zero, the time that keys the engine creates get, and that a
    // key whose values or subkeys change gets, as Windows stamps them.
    void setTimeOfChanges(std::uint64_t time);

    // True once a change met a damaged cell after it had written something:
    // the image is then not to be written back. Every later change is refused.
    bool broken() const;
    // Walks every bin that nothing walked yet (through a window: their pages
    // are not kept): a hive goes back to its file only sound as a whole.
    // ERROR_BADDB for a damaged bin anywhere.
    LONG checkWhole();

    // For the write-back.
    bool changed() const;
    // The 4 KiB pages of the hive bins (index = bins offset / 4096) written or
    // added since open, ascending. The base block is not among them.
    std::vector<std::uint32_t> dirtyPages() const;
    // Gives the base block its bins size, both sequence numbers, its
    // last-written time and checksum, and the first bin its copy of the time
    // (which makes page 0 dirty).
    void finishBaseBlock(std::uint32_t sequence, std::uint64_t writtenAt);
    // The base block and the hive bins, without any padding after them.
    const unsigned char* image() const;
    std::size_t imageSize() const;

private:
    explicit Hive(std::unique_ptr<detail::HiveState> state);
    std::unique_ptr<detail::HiveState> state_;
};

}  // namespace regf
