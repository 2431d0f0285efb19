// Windows' own CommandLineToArgvW over argument texts read from a file, for
// the differential test of the Linux splitter. Texts travel as hexadecimal
// UTF-16 units, one text a line, so that no quote, blank or backslash is
// touched by a shell or by the process command line on the way.
//
// Output, one line per text: the element count, then each element as ":" and
// its units in hexadecimal. The first line is "exe:" and the program's own
// path, which is what an empty text gives.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

namespace {

void writeHex(std::FILE* out, const wchar_t* text) {
    for (; *text != L'\0'; ++text) {
        std::fprintf(out, "%04x", static_cast<unsigned>(static_cast<unsigned short>(*text)));
    }
}

bool parseHex(const std::string& line, std::wstring& text) {
    text.clear();
    if (line.size() % 4 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < line.size(); i += 4) {
        unsigned long unit = std::strtoul(line.substr(i, 4).c_str(), nullptr, 16);
        text += static_cast<wchar_t>(unit);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: split_windows TEXTS OUTPUT\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (in == nullptr || out == nullptr) {
        std::fprintf(stderr, "split_windows: cannot open %s or %s\n", argv[1], argv[2]);
        return 2;
    }
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::fprintf(out, "exe:");
    writeHex(out, self);
    std::fprintf(out, "\n");

    std::string line;
    std::wstring text;
    int c;
    while ((c = std::fgetc(in)) != EOF) {
        if (c != '\n') {
            if (c != '\r') {
                line += static_cast<char>(c);
            }
            continue;
        }
        if (!parseHex(line, text)) {
            std::fprintf(stderr, "split_windows: bad line %s\n", line.c_str());
            return 2;
        }
        line.clear();
        int count = 0;
        LPWSTR* elements = CommandLineToArgvW(text.c_str(), &count);
        if (elements == nullptr) {
            std::fprintf(out, "error %lu\n", GetLastError());
            continue;
        }
        std::fprintf(out, "%d", count);
        for (int i = 0; i < count; ++i) {
            std::fprintf(out, ":");
            writeHex(out, elements[i]);
        }
        std::fprintf(out, "\n");
        LocalFree(elements);
    }
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
