#include "platform/offline/engine/names.h"

#include "platform/emulation/names.h"

namespace regf::detail {

namespace {

// Any two names: the units of a std::u16string or of a stored name.
template <typename A, typename B>
int compareUnits(const A& a, std::uint32_t aUnits, const B& b, std::uint32_t bUnits) {
    const std::uint32_t common = aUnits < bUnits ? aUnits : bUnits;
    for (std::uint32_t i = 0; i < common; ++i) {
        const char16_t p = a(i);
        const char16_t q = b(i);
        if (p == q) {
            continue;
        }
        const char16_t x = upcased(p);
        const char16_t y = upcased(q);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return aUnits == bUnits ? 0 : aUnits < bUnits ? -1 : 1;
}

}  // namespace

char16_t upcased(char16_t unit) {
    // Windows upcases each UTF-16 unit alone, surrogates included (which the
    // mapping leaves as they are). ASCII, most names, without the call.
    if (unit < 0x80) {
        return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
    }
    return static_cast<char16_t>(emulation::upperCaseOf(static_cast<wchar_t>(unit)));
}

bool fitsCompressed(const std::u16string& name) {
    for (char16_t unit : name) {
        if (unit > 0xFF) {
            return false;
        }
    }
    return true;
}

std::uint32_t storedLength(const std::u16string& name) {
    return static_cast<std::uint32_t>(fitsCompressed(name) ? name.size() : 2 * name.size());
}

void storeName(const std::u16string& name, unsigned char* out) {
    const bool compressed = fitsCompressed(name);
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (compressed) {
            out[i] = static_cast<unsigned char>(name[i]);
        } else {
            out[2 * i] = static_cast<unsigned char>(name[i]);
            out[2 * i + 1] = static_cast<unsigned char>(name[i] >> 8);
        }
    }
}

std::u16string loadName(const StoredName& name) {
    std::u16string out(name.units(), u'\0');
    for (std::uint32_t i = 0; i < name.units(); ++i) {
        out[i] = name.unit(i);
    }
    return out;
}

int compareNames(const std::u16string& a, const StoredName& b) {
    return compareUnits([&](std::uint32_t i) { return a[i]; }, static_cast<std::uint32_t>(a.size()),
                        [&](std::uint32_t i) { return b.unit(i); }, b.units());
}

int compareNames(const StoredName& a, const StoredName& b) {
    return compareUnits([&](std::uint32_t i) { return a.unit(i); }, a.units(),
                        [&](std::uint32_t i) { return b.unit(i); }, b.units());
}

bool sameName(const std::u16string& a, const StoredName& b) {
    return a.size() == b.units() && compareNames(a, b) == 0;
}

std::uint32_t nameHash(const std::u16string& name) {
    std::uint32_t hash = 0;
    for (char16_t unit : name) {
        hash = 37 * hash + upcased(unit);
    }
    return hash;
}

std::uint32_t nameHint(const std::u16string& name) {
    // The first four units as bytes, in their own case; a unit beyond one
    // byte leaves no hint at all.
    std::uint32_t hint = 0;
    for (std::size_t i = 0; i < name.size() && i < 4; ++i) {
        if (name[i] > 0xFF) {
            return 0;
        }
        hint |= static_cast<std::uint32_t>(name[i]) << (8 * i);
    }
    return hint;
}

}  // namespace regf::detail
