// Where the fields of a regf file's base block lie (the regf format notes,
// "Base block"), and little-endian access to them: shared by the replay, the
// log writer and the offline store that writes hives back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hivelog {

constexpr std::size_t baseBlockSize = 4096;

constexpr std::size_t primarySequenceAt = 4;
constexpr std::size_t secondarySequenceAt = 8;
constexpr std::size_t lastWrittenAt = 12;
constexpr std::size_t majorVersionAt = 20;
constexpr std::size_t minorVersionAt = 24;
constexpr std::size_t fileTypeAt = 28;
constexpr std::size_t rootCellAt = 36;
constexpr std::size_t binsSizeAt = 40;
constexpr std::size_t flagsAt = 144;
constexpr std::size_t checksumAt = 508;
// The copy of the last-written time in the header of the first hive bin.
constexpr std::size_t firstBinTimestampAt = baseBlockSize + 20;

inline std::uint32_t readDword(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline std::uint64_t readQword(const unsigned char* bytes) {
    return static_cast<std::uint64_t>(readDword(bytes)) | static_cast<std::uint64_t>(readDword(bytes + 4)) << 32;
}

inline void writeDword(unsigned char* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

inline void writeQword(unsigned char* bytes, std::uint64_t value) {
    writeDword(bytes, static_cast<std::uint32_t>(value));
    writeDword(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

}  // namespace hivelog
