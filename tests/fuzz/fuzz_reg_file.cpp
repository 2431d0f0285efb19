// Any bytes through the registry-file reader. Checked: the counts are those of
// the change kinds; lines lie in the file and never go back; a refusal keeps
// nothing and says why on one short line; and a file read and written again as
// regedit writes it (UTF-16LE, CRLF, hex lists continued) reads back as the
// same changes, on the lines where the writing put them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ops/reg_file.h"

namespace {

static_assert(sizeof(wchar_t) == 4, "the writer below reads wchar_t as UTF-32");

// A character beyond the BMP as its pair, a lone surrogate as it is.
void appendUtf16(std::vector<unsigned char>& out, std::uint32_t c) {
    if (c > 0xFFFF) {
        appendUtf16(out, 0xD800 + ((c - 0x10000) >> 10));
        c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    out.push_back(static_cast<unsigned char>(c));
    out.push_back(static_cast<unsigned char>(c >> 8));
}

std::wstring quoted(std::wstring text) {
    for (std::size_t i = text.find_first_of(L"\\\""); i != std::wstring::npos; i = text.find_first_of(L"\\\"", i + 2)) {
        text.insert(i, 1, L'\\');
    }
    return L'"' + text + L'"';
}

// The data in the form regedit writes for it, after "=".
std::wstring dataText(const RegChange& change) {
    const bool text = change.type == REG_SZ || change.type == REG_EXPAND_SZ || change.type == REG_MULTI_SZ;
    const std::wstring chars(reinterpret_cast<const wchar_t*>(change.data.data()), text ? change.data.size() / 4 : 0);
    // Text that a quoted string holds: one null at its end, no other, nothing
    // that ends a line and no lone surrogate.
    if (change.type == REG_SZ && !chars.empty() && chars.find(L'\0') == chars.size() - 1 &&
        chars.find(L'\n') == std::wstring::npos &&
        std::none_of(chars.begin(), chars.end(), [](wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; })) {
        return quoted(chars.substr(0, chars.size() - 1));
    }
    std::vector<unsigned char> bytes = text ? std::vector<unsigned char>{} : change.data;
    for (wchar_t c : chars) {
        appendUtf16(bytes, static_cast<std::uint32_t>(c));
    }
    wchar_t prefix[24];
    std::swprintf(prefix, 24, change.type == REG_BINARY ? L"hex:" : L"hex(%x):", static_cast<unsigned>(change.type));
    std::wstring out = prefix;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        wchar_t byte[16];
        std::swprintf(byte, 16, L"%ls%02x", i == 0 ? L"" : i % 25 == 0 ? L",\\\r\n  " : L",", bytes[i]);
        out += byte;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RegFile file;
    std::size_t errorLine = 0;
    std::wstring problem;
    const bool utf16 = size >= 2 && data[0] == 0xFF && data[1] == 0xFE;
    std::size_t lines = 1;
    for (std::size_t i = utf16 ? 2 : 0; i < size; i += utf16 ? 2 : 1) {
        lines += data[i] == '\n' && (!utf16 || (i + 1 < size && data[i + 1] == 0)) ? 1 : 0;
    }
    if (!parseRegFile(std::vector<unsigned char>(data, data + size), file, errorLine, problem)) {
        if (errorLine > lines || problem.empty() || problem.size() > 200 || !file.changes.empty() ||
            file.keys + file.values + file.deletions != 0 ||
            std::any_of(problem.begin(), problem.end(), [](wchar_t c) { return c < 0x20; })) {
            fuzz::fail("refused at line " + std::to_string(errorLine) + " of " + std::to_string(lines) +
                       " with changes kept, or a problem of " + std::to_string(problem.size()) + " characters");
        }
        return 0;
    }
    std::size_t counts[4] = {};
    std::size_t previous = 1;
    // The file written again, and the line where each change goes.
    std::wstring text;
    std::size_t line = 1;
    const auto write = [&](const std::wstring& entry) {
        text += entry;
        line += static_cast<std::size_t>(std::count(entry.begin(), entry.end(), L'\n'));
    };
    write(L"Windows Registry Editor Version 5.00\r\n");
    std::vector<std::size_t> rendered;
    for (const RegChange& change : file.changes) {
        ++counts[static_cast<int>(change.kind)];
        if (change.line < previous || change.line > lines) {
            fuzz::fail("a change on line " + std::to_string(change.line) + " after line " + std::to_string(previous) +
                       ", in a file of " + std::to_string(lines));
        }
        previous = change.line;
        const bool key = change.kind == RegChangeKind::createKey || change.kind == RegChangeKind::deleteKey;
        write(key ? L"\r\n" : L"");
        rendered.push_back(line);
        const wchar_t* const root =
            change.kind == RegChangeKind::deleteKey ? L"[-HKEY_CURRENT_USER" : L"[HKEY_CURRENT_USER";
        write((key ? root + (change.keyPath.empty() ? L"" : L"\\" + change.keyPath) + L"]"
                   : (change.valueName.empty() ? L"@" : quoted(change.valueName)) + L"=" +
                         (change.kind == RegChangeKind::deleteValue ? L"-" : dataText(change))) +
              L"\r\n");
    }
    if (file.keys != counts[0] || file.deletions != counts[1] + counts[3] || file.values != counts[2]) {
        fuzz::fail("counts that are not those of the changes");
    }
    std::vector<unsigned char> bytes = {0xFF, 0xFE};
    for (wchar_t c : text) {
        appendUtf16(bytes, static_cast<std::uint32_t>(c));
    }
    RegFile again;
    const bool read = parseRegFile(bytes, again, errorLine, problem);
    std::size_t i = 0;
    for (const auto& a = again.changes, &b = file.changes; read && i < a.size() && i < b.size(); ++i) {
        if (a[i].line != rendered[i] || a[i].kind != b[i].kind || a[i].keyPath != b[i].keyPath ||
            a[i].valueName != b[i].valueName || a[i].type != b[i].type || a[i].data != b[i].data) {
            break;
        }
    }
    if (!read || i != file.changes.size() || i != again.changes.size()) {
        fuzz::fail("the file written again " + (read ? "reads as other changes from change " + std::to_string(i)
                                                     : "is refused at line " + std::to_string(errorLine)) +
                   ":\n" + std::string(text.begin(), text.end()));
    }
    return 0;
}
