#include "platform/emulation/environment.h"

#include <algorithm>

namespace {
wchar_t asciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }
}  // namespace

bool equalsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return asciiUpper(x) == asciiUpper(y); });
}

DWORD expandEnvironmentText(LPCWSTR source, LPWSTR destination, DWORD size, const EnvironmentLookup& lookup) {
    if (source == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring result;
    const wchar_t* s = source;
    while (*s != L'\0') {
        if (*s != L'%') {
            result += *s++;
            continue;
        }
        const wchar_t* close = s + 1;
        while (*close != L'\0' && *close != L'%') {
            ++close;
        }
        if (*close == L'\0') {
            result.append(s);  // a lone % and all after it stay as written
            break;
        }
        const std::wstring name(s + 1, close);
        const std::optional<std::wstring> value = name.empty() ? std::nullopt : lookup(name);
        if (value) {
            result += *value;
            s = close + 1;
        } else {
            // Unknown: keep "%NAME" and let the closing % start the next reference.
            result.append(s, close);
            s = close;
        }
    }
    const auto needed = static_cast<DWORD>(result.size() + 1);
    if (destination == nullptr || needed > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return needed;
    }
    std::copy(result.begin(), result.end(), destination);
    destination[result.size()] = L'\0';
    return needed;
}
