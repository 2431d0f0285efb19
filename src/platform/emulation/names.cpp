#include "platform/emulation/names.h"

namespace emulation {

wchar_t upperCaseOf(wchar_t c) {
    if (c >= L'a' && c <= L'z') {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (c < 0xE0) {
        return c;
    }
    if (c <= 0xFE) {
        return c == 0xF7 ? c : static_cast<wchar_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs upper and lower case letters; the pairs
        // start on even code points except in 0x139..0x148 and 0x179..0x17E.
        const bool oddStartsPair = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F || c == 0x130 || c == 0x178) {
            return c;
        }
        const bool lower = oddStartsPair ? (c % 2 == 0) : (c % 2 == 1);
        return lower ? static_cast<wchar_t>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9) {
        return c == 0x3C2 ? static_cast<wchar_t>(0x3A3) : static_cast<wchar_t>(c - 0x20);
    }
    if (c >= 0x430 && c <= 0x44F) {
        return static_cast<wchar_t>(c - 0x20);
    }
    if (c >= 0x450 && c <= 0x45F) {
        return static_cast<wchar_t>(c - 0x50);
    }
    return c;
}

std::wstring upperCased(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out) {
        c = upperCaseOf(c);
    }
    return out;
}

bool sameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upperCaseOf(a[i]) != upperCaseOf(b[i])) {
            return false;
        }
    }
    return true;
}

bool isAscii(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

}  // namespace emulation
