// tarnwick's own regf hive engine: reads and changes a hive file's image in
// memory as Windows' registry code would, from the regf format notes. Bytes
// in, bytes out: the store above supplies the image (Storage) and writes the
// changed pages back; the engine never touches a file. This is the only
// header of the engine the store includes; nothing above it sees a cell
// offset.
#pragma once

#include <cstddef>
#include <cstdint>
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
// these bytes in place and keeps no pointer to them across grow().
class Storage {
public:
    virtual ~Storage() = default;
    virtual unsigned char* bytes() = 0;
    virtual std::size_t size() const = 0;
    // At least newSize bytes from now on, the new ones zero; bytes() may
    // move. False when there is no memory for them.
    virtual bool grow(std::size_t newSize) = 0;
    // The engine read [offset, offset + size) of the image while opening and
    // wrote nothing there: a mapping may drop those pages (they come back
    // from the file if read again).
    virtual void released(std::size_t /*offset*/, std::size_t /*size*/) {}
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
    // within the image) and the root, an allocated nk. A writable hive's bins
    // are walked once, every cell of every bin, a part at a time (released()
    // after each part). A read-only hive skips that walk: every offset is
    // checked where it is used instead. ERROR_BADDB for any failure, with
    // nothing written.
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
