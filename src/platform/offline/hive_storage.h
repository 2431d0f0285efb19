// The image of a hive file that the engine reads and changes: the file mapped
// privately, so that the engine's changes stay in this process's memory (each
// page copied when it is first written) until the write-back puts the
// changed pages into the file; with room after it for the bins a change
// adds. Only the pages the engine touches take memory, however large the
// hive, and the pages it only walked while opening are dropped again.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/offline/engine/engine.h"
#include "platform/winapi.h"

namespace offline {

class MappedHiveStorage : public regf::Storage {
public:
    // Maps size bytes of the open file, writable in memory when the hive may
    // be changed. ERROR_NOT_ENOUGH_MEMORY when it cannot be mapped.
    static LONG map(int fd, std::size_t size, bool writable, std::unique_ptr<regf::Storage>& out);
    ~MappedHiveStorage() override;
    MappedHiveStorage(const MappedHiveStorage&) = delete;
    MappedHiveStorage& operator=(const MappedHiveStorage&) = delete;

    unsigned char* bytes() override { return base_; }
    std::size_t size() const override { return size_; }
    bool grow(std::size_t newSize) override;
    void released(std::size_t offset, std::size_t size) override;

private:
    MappedHiveStorage() = default;

    unsigned char* base_ = nullptr;
    std::size_t reserved_ = 0;  // address space held, from base_
    std::size_t mapped_ = 0;    // of it, the file's pages
    std::size_t usable_ = 0;    // of it, pages that may be touched
    std::size_t size_ = 0;
    bool writable_ = false;
};

}  // namespace offline
