// Marvin32, the keyed hash that guards new-format log entries (Hash-1 and
// Hash-2 of an "HvLE" entry), as ../shared/regf/marvin32.md describes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hivelog {

// The notes give the seed as the bytes 82 EF 4D 88 7A 4E 55 C5; read as one
// number in that order it is the key Windows uses (the other byte order gives
// hashes that no real log matches).
constexpr std::uint64_t logEntrySeed = 0x82EF4D887A4E55C5ull;

std::uint64_t marvin32(const unsigned char* data, std::size_t size, std::uint64_t seed = logEntrySeed);

}  // namespace hivelog
