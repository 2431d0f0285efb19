// File input and output the write-back and the replay need, on open file
// descriptors: whole reads and writes at an offset, a read-only mapping,
// extended attributes and the durability of a folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/offline/replay/hive_log.h"
#include "platform/winapi.h"

namespace offline {

// The 4096-byte base block at the start of an open hive file.
bool readBaseBlock(int fd, std::vector<unsigned char>& bytes);

// All of size bytes at offset; false at an error or the end of the file.
bool readAt(int fd, unsigned char* bytes, std::size_t size, std::uint64_t offset);
bool writeAt(int fd, const unsigned char* bytes, std::size_t size, std::uint64_t offset);

// The whole of a regular file that is open; false, with errno set, when it
// cannot be read or changes size under us.
bool readWhole(int fd, std::vector<unsigned char>& bytes);

// The whole of an open file, mapped read-only; the copy a replay makes is the
// only one. Empty when it cannot be mapped.
class MappedFile {
public:
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    MappedFile(int fd, std::size_t size);
    ~MappedFile();
    hivelog::ByteView bytes() const {
        return address_ != nullptr ? hivelog::ByteView(static_cast<const unsigned char*>(address_), size_)
                                   : hivelog::ByteView();
    }

private:
    void* address_ = nullptr;
    std::size_t size_ = 0;
};

// Gives the file at "to" every extended attribute of the one at "from".
LONG copyAttributes(int from, int to);

// Makes a rename in the folder durable; true where the file system cannot
// sync a folder at all.
bool syncDirectory(int directory);

}  // namespace offline
