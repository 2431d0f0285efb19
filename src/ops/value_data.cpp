#include "ops/value_data.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>

namespace {

struct TypeName {
    const wchar_t* name;
    DWORD type;
};

const TypeName typeNames[] = {
    {L"REG_SZ", REG_SZ},       {L"REG_EXPAND_SZ", REG_EXPAND_SZ}, {L"REG_MULTI_SZ", REG_MULTI_SZ},
    {L"REG_DWORD", REG_DWORD}, {L"REG_QWORD", REG_QWORD},         {L"REG_BINARY", REG_BINARY},
};

// Compared as the switches are: only the letters A to Z have another case.
bool sameTypeName(const std::wstring& typed, const wchar_t* name) {
    std::size_t i = 0;
    for (; i < typed.size() && name[i] != L'\0'; ++i) {
        if (std::towupper(static_cast<std::wint_t>(typed[i])) != static_cast<std::wint_t>(name[i])) {
            return false;
        }
    }
    return i == typed.size() && name[i] == L'\0';
}

int hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

void appendText(std::vector<unsigned char>& bytes, const std::wstring& text) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    bytes.insert(bytes.end(), begin, begin + text.size() * sizeof(wchar_t));
}

// Each reader below returns what is wrong with the text, or null when it
// appended the data's bytes.

// A decimal number, or hexadecimal digits after 0x, that fits in width bytes.
const wchar_t* appendNumber(const std::wstring& text, std::size_t width, std::vector<unsigned char>& bytes) {
    const std::uint64_t largest = width == 4 ? 0xFFFFFFFFu : UINT64_MAX;
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::uint64_t base = hex ? 16 : 10;
    std::uint64_t value = 0;
    bool tooLarge = false;
    for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        const int digit = hexDigit(text[i]);
        if (digit < 0 || static_cast<std::uint64_t>(digit) >= base) {
            return L"expected a decimal number or 0x and hexadecimal digits";
        }
        // Every digit is still read, so that a text that is no number is not
        // called a number out of range.
        if (value > (largest - static_cast<std::uint64_t>(digit)) / base) {
            tooLarge = true;
        } else {
            value = value * base + static_cast<std::uint64_t>(digit);
        }
    }
    if (text.empty()) {
        return L"expected a decimal number or 0x and hexadecimal digits";
    }
    if (tooLarge) {
        return width == 4 ? L"out of range: at most 4294967295" : L"out of range: at most 18446744073709551615";
    }
    for (std::size_t i = 0; i < width; ++i) {
        bytes.push_back(static_cast<unsigned char>(value >> (8 * i)));
    }
    return nullptr;
}

const wchar_t* appendBinary(const std::wstring& text, std::vector<unsigned char>& bytes) {
    if (!std::all_of(text.begin(), text.end(), [](wchar_t c) { return hexDigit(c) >= 0; })) {
        return L"expected hexadecimal digits, two per byte, without separators";
    }
    if (text.size() % 2 != 0) {
        return L"an odd number of hexadecimal digits: two make one byte";
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(hexDigit(text[i]) << 4 | hexDigit(text[i + 1])));
    }
    return nullptr;
}

// The strings separated by the two characters \0, each stored with its null,
// then the null that ends the list. An empty text is the empty list.
const wchar_t* appendMultiString(const std::wstring& text, std::vector<unsigned char>& bytes) {
    std::wstring list;
    for (std::size_t start = 0; !text.empty();) {
        const std::size_t end = std::min(text.find(L"\\0", start), text.size());
        // Windows reads a list up to its first empty string: what follows
        // would be lost.
        if (end == start) {
            return L"an empty string in the list, where Windows would end it";
        }
        list.append(text, start, end - start);
        list += L'\0';
        if (end == text.size()) {
            break;
        }
        start = end + 2;
    }
    list += L'\0';
    appendText(bytes, list);
    return nullptr;
}

}  // namespace

bool valueDataOf(const std::optional<std::wstring>& typeName, const std::optional<std::wstring>& text,
                 ValueData& data, std::wstring& problem) {
    data = ValueData{};
    const wchar_t* name = L"REG_SZ";
    if (typeName.has_value()) {
        const auto known = std::find_if(std::begin(typeNames), std::end(typeNames),
                                        [&](const TypeName& t) { return sameTypeName(*typeName, t.name); });
        if (known == std::end(typeNames)) {
            problem = L"Unknown value type '" + *typeName +
                      L"' (expected REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD or REG_BINARY)";
            return false;
        }
        name = known->name;
        data.type = known->type;
    }
    if (!text.has_value()) {
        return true;
    }
    const wchar_t* wrong = nullptr;
    switch (data.type) {
        case REG_DWORD:
            wrong = appendNumber(*text, 4, data.bytes);
            break;
        case REG_QWORD:
            wrong = appendNumber(*text, 8, data.bytes);
            break;
        case REG_BINARY:
            wrong = appendBinary(*text, data.bytes);
            break;
        case REG_MULTI_SZ:
            wrong = appendMultiString(*text, data.bytes);
            break;
        default:
            // REG_SZ and REG_EXPAND_SZ: the text as given (references are
            // expanded by whoever reads the value), with its null.
            appendText(data.bytes, *text + L'\0');
            break;
    }
    if (wrong != nullptr) {
        problem = std::wstring(L"Invalid data for ") + name + L": '" + *text + L"' (" + wrong + L")";
        return false;
    }
    return true;
}
