// Key and value names as Windows stores and compares them: compressed
// (one byte a unit, Latin-1) when every unit fits a byte, else UTF-16LE;
// compared unit by unit after upcasing each with the emulation's mapping;
// the `lh` hash and the `lf` hint of subkey lists (the regf format notes,
// "Hash leaf", "Fast leaf").
#pragma once

#include <cstdint>
#include <string>

namespace regf::detail {

char16_t upcased(char16_t unit);

// A name as the hive holds it, in a cell the caller checked.
struct StoredName {
    const unsigned char* bytes = nullptr;
    std::uint32_t length = 0;  // in bytes
    bool compressed = false;

    std::uint32_t units() const { return compressed ? length : length / 2; }
    char16_t unit(std::uint32_t index) const {
        return compressed ? static_cast<char16_t>(bytes[index])
                          : static_cast<char16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
    }
};

bool fitsCompressed(const std::u16string& name);
// The bytes a name takes in the hive, compressed when it fits.
std::uint32_t storedLength(const std::u16string& name);
void storeName(const std::u16string& name, unsigned char* out);
std::u16string loadName(const StoredName& name);

// Negative, zero or positive as a sorts before, with or after b in Windows'
// order: upcased units compared as numbers, a prefix first.
int compareNames(const std::u16string& a, const StoredName& b);
int compareNames(const StoredName& a, const StoredName& b);
bool sameName(const std::u16string& a, const StoredName& b);

std::uint32_t nameHash(const std::u16string& name);
std::uint32_t nameHint(const std::u16string& name);

}  // namespace regf::detail
