// Cell allocation: free space that fits, near the key it serves or in pages
// already changed, else anywhere in the hive, else a new bin at the end;
// freeing, with free neighbours merged as Windows merges them (the regf
// format notes, "Unallocated cell"); and the set of 4 KiB pages of the bins
// that were written, for the write-back.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/offline/engine/hive.h"

namespace regf::detail {

// What a new cell belongs to: a key (its nk cell and subkey lists) or a
// value (its vk cell, data and value list). Each kind goes on filling the
// pages it took last, so that keys made in one session lie together and
// apart from their values: setting those values again (the same settings
// file imported again) then writes few pages for the keys' times.
enum class Kind { key, value };

class Cells {
public:
    explicit Cells(Image& image) : image_(image) {}

    // Once the image is loaded: nothing written yet.
    void start();

    // A cell of at least payload bytes (zeroed): inside the 4 KiB page of
    // `near` or of `also` (cells the change writes anyway) when one has room,
    // so that the change dirties no other page; else in a page where this
    // session last put a cell of the kind; else in the bin of `near`,
    // nearest to it; else in the bin with the largest free cell, once every
    // bin has been walked; only then in a new bin. ERROR_NOT_ENOUGH_MEMORY
    // when the storage cannot grow, ERROR_BADDB when the bins walked for
    // space are damaged.
    LONG allocate(Kind kind, std::uint32_t payload, std::uint32_t near, std::uint32_t& offset,
                  std::uint32_t also = noCell);
    // Frees an allocated cell the caller checked, merging it with free
    // neighbours in its bin.
    void release(std::uint32_t offset);
    // Gives back the tail of an allocated cell beyond payload bytes.
    void shrink(std::uint32_t offset, std::uint32_t payload);

    // Every write to the bins goes through these, which load the bytes first
    // and mark the pages; store and the puts leave bytes that are already
    // as asked alone.
    unsigned char* write(std::uint32_t offset, std::uint32_t length);
    void store(std::uint32_t offset, const unsigned char* bytes, std::uint32_t length);
    void put16(std::uint32_t offset, std::uint16_t value);
    void put32(std::uint32_t offset, std::uint32_t value);
    void put64(std::uint32_t offset, std::uint64_t value);

    std::uint64_t writes() const { return writes_; }
    std::vector<std::uint32_t> dirtyPages() const;

private:
    bool pickInPage(std::uint32_t size, std::uint32_t anchor, std::size_t& bin, std::size_t& index);
    bool pickInRecentPage(Kind kind, std::uint32_t size, std::size_t& bin, std::size_t& index);
    bool pickNear(std::uint32_t size, std::uint32_t near, std::size_t& bin, std::size_t& index);
    bool pickLargest(std::uint32_t size, std::size_t& bin, std::size_t& index);
    LONG addBin(std::uint32_t size, std::size_t& bin);
    void insertFree(std::size_t bin, FreeCell cell);
    void eraseFree(std::size_t bin, std::size_t index);
    void updateLargest(std::size_t bin);

    Image& image_;
    std::vector<bool> dirty_;
    // Of each kind, the pages this session put its cells in last, newest
    // first: where a change that makes many cells keeps putting them.
    static constexpr std::size_t recentPages = 8;
    std::uint32_t recent_[2][recentPages] = {};
    std::size_t recentCount_[2] = {};
    std::uint64_t writes_ = 0;
};

}  // namespace regf::detail
