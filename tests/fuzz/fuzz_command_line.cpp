// Argument texts of any shape through splitting, option parsing, the report
// into the log and the check of a set's type and data; and, for lists of
// arguments, the round trip through quoteArgumentText and the splitter.
//
// Input: the first byte picks the decoding of the rest, UTF-8 (even) or raw
// 16-bit little-endian units (odd), so that lone surrogates and every BMP
// character are reached. The argument text is the decoded text up to its
// first NUL; the list for the round trip is the decoded text cut at every NUL.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/options.h"
#include "ops/processing.h"
#include "fuzz_support.h"
#include "platform/linux/argument_text.h"
#include "platform/linux/utf.h"

namespace {

std::wstring decode(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return {};
    }
    const std::uint8_t* rest = data + 1;
    const std::size_t count = size - 1;
    if (data[0] % 2 == 0) {
        return wideFromUtf8(std::string(reinterpret_cast<const char*>(rest), count));
    }
    std::wstring text;
    for (std::size_t i = 0; i + 1 < count; i += 2) {
        text += static_cast<wchar_t>(rest[i] | rest[i + 1] << 8);
    }
    return text;
}

std::string shown(const std::vector<std::wstring>& list) {
    std::string out;
    for (const std::wstring& element : list) {
        out += '<';
        for (wchar_t c : element) {
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char code[16];
                std::snprintf(code, sizeof(code), "\\u%04X", static_cast<unsigned>(c));
                out += code;
            }
        }
        out += "> ";
    }
    return out;
}

// The first element is read by the program-name rules: it can be written
// bare when it is not empty, has no blank and does not start with a quote, or
// between quotes when it holds no quote. Any other first element comes back
// after an empty first element, which matches no switch.
void checkRoundTrip(const std::vector<std::wstring>& list) {
    if (list.empty()) {
        return;
    }
    const std::wstring text = quoteArgumentText(list);
    const std::vector<std::wstring> back = splitCommandLine(text.c_str());
    const std::wstring& first = list.front();
    const bool bare = !first.empty() && first.find_first_of(L" \t") == std::wstring::npos && first.front() != L'"';
    const bool quotable = first.find(L'"') == std::wstring::npos;
    std::vector<std::wstring> expected;
    if (!bare && !quotable) {
        expected.emplace_back();
    }
    expected.insert(expected.end(), list.begin(), list.end());
    if (back != expected) {
        fuzz::fail("round trip: list " + shown(list) + "\n  text " + shown({text}) + "\n  split " + shown(back) +
                   "\n  expected " + shown(expected));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::scratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring decoded = decode(data, size);
    const std::wstring text = decoded.substr(0, decoded.find(L'\0'));

    const CommandLineArgs args = parseCommandLine(text.c_str());
    logParsedArgs(args);
    // The data of /vstr read as the type /vtype names, as the run does first.
    checkValueTypeAndData(args);
    const std::string log = fuzz::takeLog();
    if (log.find("Parsed args:\r\n") == std::string::npos) {
        fuzz::fail("the log has no report of the options");
    }

    // What the tool's own splitter made of the text, and the pieces of the input.
    checkRoundTrip(splitCommandLine(text.c_str()));
    std::vector<std::wstring> pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = decoded.find(L'\0', start);
        pieces.push_back(decoded.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos) {
            break;
        }
        start = end + 1;
    }
    checkRoundTrip(pieces);
    return 0;
}
