// CommandLineToArgvW and LocalFree with Windows' splitting rules, for the
// Linux builds.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/argument_text.h"
#include "platform/winapi.h"

namespace {

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::vector<std::wstring> split(const wchar_t* text) {
    std::vector<std::wstring> elements;
    if (*text == L'\0') {
        elements.push_back(runningExecutablePath());
        return elements;
    }
    const wchar_t* s = text;
    // The first element is a program name: quotes only delimit it, and
    // backslashes are plain.
    std::wstring first;
    if (*s == L'"') {
        ++s;
        while (*s != L'\0' && *s != L'"') {
            first += *s++;
        }
        if (*s == L'"') {
            ++s;
        }
    } else {
        while (*s != L'\0' && !isBlank(*s)) {
            first += *s++;
        }
    }
    elements.push_back(first);
    while (isBlank(*s)) {
        ++s;
    }

    // The other elements: 2n backslashes before a quote give n and a quote
    // that switches quoting, 2n+1 give n and a literal quote; inside quotes a
    // doubled quote gives one literal quote and ends the quoted region.
    std::wstring current;
    bool inElement = false;
    unsigned quotes = 0;  // odd while inside a quoted region
    std::size_t backslashes = 0;
    while (*s != L'\0') {
        if (isBlank(*s) && quotes == 0) {
            elements.push_back(current);
            current.clear();
            inElement = false;
            backslashes = 0;
            while (isBlank(*s)) {
                ++s;
            }
            continue;
        }
        inElement = true;
        if (*s == L'\\') {
            current += *s++;
            ++backslashes;
        } else if (*s == L'"') {
            current.erase(current.size() - backslashes / 2);
            if (backslashes % 2 == 0) {
                ++quotes;
            } else {
                current.back() = L'"';
            }
            ++s;
            backslashes = 0;
            while (*s == L'"') {
                if (++quotes == 3) {
                    current += L'"';
                    quotes = 0;
                }
                ++s;
            }
            if (quotes == 2) {
                quotes = 0;
            }
        } else {
            current += *s++;
            backslashes = 0;
        }
    }
    if (inElement) {
        elements.push_back(current);
    }
    return elements;
}

}  // namespace

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
    if (pNumArgs == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::vector<std::wstring> elements = split(lpCmdLine != nullptr ? lpCmdLine : L"");
    // One block, as Windows allocates it, so that LocalFree releases it whole:
    // the pointer array followed by the strings.
    std::size_t bytes = (elements.size() + 1) * sizeof(LPWSTR);
    for (const auto& e : elements) {
        bytes += (e.size() + 1) * sizeof(wchar_t);
    }
    void* block = std::malloc(bytes);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto** argv = static_cast<LPWSTR*>(block);
    auto* chars = reinterpret_cast<wchar_t*>(argv + elements.size() + 1);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        argv[i] = chars;
        std::memcpy(chars, elements[i].c_str(), (elements[i].size() + 1) * sizeof(wchar_t));
        chars += elements[i].size() + 1;
    }
    argv[elements.size()] = nullptr;
    *pNumArgs = static_cast<int>(elements.size());
    return argv;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    std::free(hMem);
    return nullptr;
}
