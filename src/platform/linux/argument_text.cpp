// The argument text of a Linux run: the command line that Windows would hand
// to the program, rebuilt from argv.
#include "platform/linux/argument_text.h"

namespace {

std::wstring& executablePath() {
    static std::wstring path = L"tarnwick";
    return path;
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

void setRunningExecutablePath(const std::wstring& path) { executablePath() = path; }

const std::wstring& runningExecutablePath() { return executablePath(); }

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
