#include "marvin32.h"

namespace hivelog {

namespace {

std::uint32_t rotateLeft(std::uint32_t value, unsigned bits) { return value << bits | value >> (32 - bits); }

void mix(std::uint32_t& p0, std::uint32_t& p1) {
    p1 ^= p0;
    p0 = rotateLeft(p0, 20);
    p0 += p1;
    p1 = rotateLeft(p1, 9);
    p1 ^= p0;
    p0 = rotateLeft(p0, 27);
    p0 += p1;
    p1 = rotateLeft(p1, 19);
}

}  // namespace

std::uint64_t marvin32(const unsigned char* data, std::size_t size, std::uint64_t seed) {
    std::uint32_t p0 = static_cast<std::uint32_t>(seed);
    std::uint32_t p1 = static_cast<std::uint32_t>(seed >> 32);
    std::size_t at = 0;
    for (; size - at >= 4; at += 4) {
        p0 += static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
              static_cast<std::uint32_t>(data[at + 2]) << 16 | static_cast<std::uint32_t>(data[at + 3]) << 24;
        mix(p0, p1);
    }
    // The 0 to 3 bytes left, closed by a 0x80 byte as the final block.
    std::uint32_t last = 0x80;
    for (std::size_t i = size - at; i-- > 0;) {
        last = last << 8 | data[at + i];
    }
    p0 += last;
    mix(p0, p1);
    mix(p0, p1);
    return static_cast<std::uint64_t>(p1) << 32 | p0;
}

}  // namespace hivelog
