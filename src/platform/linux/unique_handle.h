// Owned handles of any kind, in the style of wil's unique_any: a move-only
// owner that calls the handle's close function once, when it goes or is
// reset, unless the handle is the invalid value or was released.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

template <typename T, auto Close, T Invalid>
class UniqueAny {
public:
    UniqueAny() = default;
    explicit UniqueAny(T value) : value_(value) {}
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    ~UniqueAny() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Invalid; }
    // Gives the handle up without closing it.
    T release() { return std::exchange(value_, Invalid); }
    // Closes the handle held, if any, and holds the new one.
    void reset(T value = Invalid) {
        const T old = std::exchange(value_, value);
        if (old != Invalid) {
            Close(old);
        }
    }

private:
    T value_ = Invalid;
};

namespace unique_handle_detail {
inline void closeFd(int fd) { ::close(fd); }
inline void closeDirectory(DIR* directory) { ::closedir(directory); }
inline void freeMemory(void* memory) { std::free(memory); }
}  // namespace unique_handle_detail

// A file descriptor.
using UniqueFd = UniqueAny<int, &unique_handle_detail::closeFd, -1>;
// A folder being listed.
using UniqueDir = UniqueAny<DIR*, &unique_handle_detail::closeDirectory, nullptr>;
// Memory that a C library hands out from malloc for the caller to free.
template <typename T>
using UniqueMalloc = UniqueAny<T*, &unique_handle_detail::freeMemory, nullptr>;
