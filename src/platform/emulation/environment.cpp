#include "platform/emulation/environment.h"

#include <algorithm>

#include "platform/emulation/provider.h"

namespace emulation {

std::wstring expandedText(const std::wstring& source, const EnvironmentLookup& lookup) {
    std::wstring result;
    std::size_t at = 0;
    while (at < source.size()) {
        if (source[at] != L'%') {
            result += source[at++];
            continue;
        }
        const std::size_t close = source.find(L'%', at + 1);
        if (close == std::wstring::npos) {
            result.append(source, at, std::wstring::npos);  // a lone % and all after it stay as written
            break;
        }
        const std::wstring name = source.substr(at + 1, close - at - 1);
        const std::optional<std::wstring> value = name.empty() ? std::nullopt : lookup(name);
        if (value) {
            result += *value;
            at = close + 1;
        } else {
            // Unknown: keep "%NAME" and let the closing % start the next reference.
            result.append(source, at, close - at);
            at = close;
        }
    }
    return result;
}

DWORD expandEnvironmentText(LPCWSTR source, LPWSTR destination, DWORD size, const EnvironmentLookup& lookup) {
    if (source == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::wstring result = expandedText(source, lookup);
    const auto needed = static_cast<DWORD>(result.size() + 1);
    if (destination == nullptr || needed > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return needed;
    }
    std::copy(result.begin(), result.end(), destination);
    destination[result.size()] = L'\0';
    return needed;
}

}  // namespace emulation

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
    if (auto fault = emulation::enter("ExpandEnvironmentStringsW", [&] { return std::wstring(lpSrc ? lpSrc : L""); })) {
        SetLastError(static_cast<DWORD>(*fault));
        return 0;
    }
    return emulation::expandEnvironmentText(lpSrc, lpDst, nSize, emulation::environmentVariable);
}
