// Differential test of the Linux CommandLineToArgvW against Windows' own:
// generated argument texts are split by both, and every difference is shown.
// Windows' side is split_windows.exe under Wine, one process for all texts.
//
//   cmdline_differential --count N --seed S --windows-program EXE --wine-run SCRIPT
//
// Exit status: 0 no difference, 1 differences, 2 the comparison could not
// run, 77 (skipped) when the Windows program or Wine is missing.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/argument_text.h"
#include "platform/linux/utf.h"
#include "platform/winapi.h"

namespace {

using Units = std::u16string;  // a text as Windows holds it

// The facts table's texts, and edges around them.
const char16_t* const fixedTexts[] = {
    u"", u" ", u"\t", u"   \t ", u"\"", u"\"\"", u"\"\"\"", u"\\", u"\\\"", u"a", u"a ", u" a",
    u"exe arg\"one\" \"second\"arg thirdarg ",
    u"exe \\\"one \\\\\"two\" \\\\\\\"three \\\\\\\\\"four\" end",
    u"exe \"one\\\" still\" \"two\\\\\" end",
    u"exe two\"\"quotes next",
    u"exe three\"\"\"quotes next",
    u"exe \"two\"\"quotes next",
    u"exe \"three\"\"\" quotes\" next",
    u"exe\"file\"path arg1",
    u"\\\"exe \"arg one\"",
    u"\"exe\"arg\" one\" argtwo",
    u"\"spaced exe\\\"arg1 arg2",
    u"\"two\"\" arg1 ",
    u" \"arg\"one argtwo",
    u"/k \"Software\\My App\\\" /vn x",
    u"a \"\" b \"\"\"\" c \"\"\"\"\"\" d",
    u"a \"b\"\"\"\"c\" d",
    u"x line\nfeed\r\"cr\"",
};

// Pieces the texts are made of, weighted towards what the rules are about:
// blanks, quotes, runs of backslashes, and plain and non-ASCII characters.
Units piece(std::mt19937& rng) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    switch (pick(10)) {
        case 0:
        case 1: {
            Units blanks;
            for (int i = pick(3); i >= 0; --i) {
                blanks += pick(4) == 0 ? u'\t' : u' ';
            }
            return blanks;
        }
        case 2:
        case 3:
            return Units(static_cast<std::size_t>(1 + pick(4)), u'"');
        case 4:
        case 5: {
            Units run(static_cast<std::size_t>(1 + pick(5)), u'\\');
            if (pick(2) == 0) {
                run += u'"';
            }
            return run;
        }
        case 6:
            return Units(1, u"/\u00e9\u4e2d\n\r%"[pick(6)]);
        case 7:
            return u"\U0001F600";  // a surrogate pair
        default: {
            Units word;
            for (int i = pick(4); i >= 0; --i) {
                word += static_cast<char16_t>(u'a' + pick(3));
            }
            return word;
        }
    }
}

Units generateText(std::mt19937& rng) {
    Units text;
    const int pieces = static_cast<int>(rng() % 14);
    for (int i = 0; i < pieces; ++i) {
        text += piece(rng);
    }
    return text;
}

std::wstring wideFromUnits(const Units& units) {
    std::string bytes;
    for (char16_t u : units) {
        bytes += static_cast<char>(u & 0xFF);
        bytes += static_cast<char>(u >> 8);
    }
    return wideFromUtf16le(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// A text made by quoteArgumentText from pieces, as the Linux entry point makes them.
Units quotedListText(std::mt19937& rng) {
    std::vector<std::wstring> list;
    for (int i = static_cast<int>(rng() % 5); i >= 0; --i) {
        list.push_back(wideFromUnits(generateText(rng)));
    }
    const std::string bytes = utf16leFromWide(quoteArgumentText(list));
    Units units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return units;
}

std::string hexOfUnits(const Units& units) {
    std::string out;
    char digits[8];
    for (char16_t u : units) {
        std::snprintf(digits, sizeof(digits), "%04x", static_cast<unsigned>(u));
        out += digits;
    }
    return out;
}

std::string hexOfWide(const std::wstring& text) {
    const std::string bytes = utf16leFromWide(text);
    Units units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                       static_cast<unsigned char>(bytes[i + 1]) << 8);
    }
    return hexOfUnits(units);
}

std::string linuxSplit(const Units& text) {
    const std::wstring wide = wideFromUnits(text);
    int count = 0;
    LPWSTR* elements = CommandLineToArgvW(wide.c_str(), &count);
    if (elements == nullptr) {
        return "error";
    }
    std::string line = std::to_string(count);
    for (int i = 0; i < count; ++i) {
        line += ":" + hexOfWide(elements[i]);
    }
    LocalFree(elements);
    return line;
}

std::wstring wideFromHex(const std::string& hex) {
    Units units;
    for (std::size_t i = 0; i + 4 <= hex.size(); i += 4) {
        units += static_cast<char16_t>(std::strtoul(hex.substr(i, 4).c_str(), nullptr, 16));
    }
    return wideFromUnits(units);
}

// Readable form of a text for the report: printable ASCII as is, the rest as \uXXXX.
std::string shown(const Units& text) {
    std::string out = "<";
    for (char16_t u : text) {
        if (u >= 0x20 && u < 0x7F) {
            out += static_cast<char>(u);
        } else {
            char code[8];
            std::snprintf(code, sizeof(code), "\\u%04x", static_cast<unsigned>(u));
            out += code;
        }
    }
    return out + ">";
}

int runUnderWine(const std::string& wineRun, const std::string& program, const std::string& texts,
                 const std::string& output) {
    const pid_t child = fork();
    if (child == 0) {
        // Z: is the host's root in every Wine prefix.
        const std::string in = "Z:" + texts;
        const std::string out = "Z:" + output;
        execl("/bin/sh", "sh", wineRun.c_str(), program.c_str(), in.c_str(), out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    long count = 10000;
    unsigned long seed = 1;
    std::string program;
    std::string wineRun;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--count") {
            count = std::atol(argv[i + 1]);
        } else if (option == "--seed") {
            seed = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (option == "--windows-program") {
            program = argv[i + 1];
        } else if (option == "--wine-run") {
            wineRun = argv[i + 1];
        }
    }
    namespace fs = std::filesystem;
    if (program.empty() || !fs::exists(program) || std::system("command -v wine >/dev/null 2>&1") != 0) {
        std::printf("skipped: no Windows program (%s) or no wine\n", program.c_str());
        return 77;
    }

    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    std::vector<Units> texts(std::begin(fixedTexts), std::end(fixedTexts));
    while (static_cast<long>(texts.size()) < count) {
        texts.push_back(rng() % 8 == 0 ? quotedListText(rng) : generateText(rng));
    }

    std::string folder = (fs::temp_directory_path() / "tarnwick-differential-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    const std::string textsFile = folder + "/texts.txt";
    const std::string outputFile = folder + "/elements.txt";
    {
        std::ofstream out(textsFile, std::ios::binary);
        for (const Units& text : texts) {
            out << hexOfUnits(text) << '\n';
        }
    }
    const int rc = runUnderWine(wineRun, program, textsFile, outputFile);
    std::vector<std::string> windows;
    {
        std::ifstream in(outputFile, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            windows.push_back(line);
        }
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    if (rc != 0 || windows.empty() || windows.front().rfind("exe:", 0) != 0 || windows.size() != texts.size() + 1) {
        std::printf("the Windows program failed (status %d, %zu lines for %zu texts)\n", rc, windows.size(),
                    texts.size());
        return 2;
    }
    // An empty text gives the running program's path.
    setRunningExecutablePath(wideFromHex(windows.front().substr(4)));

    long differences = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string ours = linuxSplit(texts[i]);
        if (ours == windows[i + 1]) {
            continue;
        }
        if (++differences <= 20) {
            std::printf("text %s\n  Windows %s\n  Linux   %s\n", shown(texts[i]).c_str(), windows[i + 1].c_str(),
                        ours.c_str());
        }
    }
    std::printf("%zu argument texts compared (seed %lu), %ld differences\n", texts.size(), seed, differences);
    return differences == 0 ? 0 : 1;
}
