#include "platform/posix/cmdline.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/winapi.h"

namespace {

std::wstring& runningExecutablePath() {
    static std::wstring path = L"tarnwick";
    return path;
}

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

bool needsQuotes(const std::wstring& argument) {
    return argument.empty() || argument.find_first_of(L" \t\"") != std::wstring::npos;
}

void appendQuotedArgument(std::wstring& text, const std::wstring& argument) {
    if (!needsQuotes(argument)) {
        text += argument;
        return;
    }
    text += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            text.append(backslashes * 2 + 1, L'\\');
        } else {
            text.append(backslashes, L'\\');
        }
        backslashes = 0;
        text += c;
    }
    // Backslashes before the closing quote are doubled so that it stays a quote.
    text.append(backslashes * 2, L'\\');
    text += L'"';
}

}  // namespace

void setRunningExecutablePath(const std::wstring& path) { runningExecutablePath() = path; }

std::wstring quoteArgumentText(const std::vector<std::wstring>& arguments) {
    std::wstring text;
    if (arguments.empty()) {
        return text;
    }
    const std::wstring& first = arguments.front();
    std::size_t next = 1;
    const bool hasBlank = first.find_first_of(L" \t") != std::wstring::npos;
    const bool hasQuote = first.find(L'"') != std::wstring::npos;
    if (!first.empty() && !hasBlank && first.front() != L'"') {
        text += first;  // plain program-name form; inner quotes stay literal
    } else if (!hasQuote) {
        text += L'"';
        text += first;
        text += L'"';
    } else {
        next = 0;  // not representable as a program name: leave that slot empty
    }
    for (std::size_t i = next; i < arguments.size(); ++i) {
        text += L' ';
        appendQuotedArgument(text, arguments[i]);
    }
    return text;
}

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
