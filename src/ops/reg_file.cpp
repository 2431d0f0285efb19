#include "ops/reg_file.h"

#include <cstring>
#include <string_view>

#include "hives/user_hive.h"

namespace {

// Windows' own limits, in UTF-16 units. A name beyond them would be refused by
// the registry in every profile, after the file's earlier changes were made.
const std::size_t longestKeyName = 255;
const std::size_t longestValueName = 16383;
// Of the text that a problem quotes, so that a log line stays readable.
const std::size_t longestQuote = 60;

// Windows-1252 from 0x80 to 0x9F; the five bytes it leaves undefined stand
// for the control characters of the same number, as Windows converts them.
const char32_t windows1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char32_t fromWindows1252(unsigned char byte) {
    return byte >= 0x80 && byte < 0xA0 ? windows1252[byte - 0x80] : byte;
}

bool beyondBmp(char32_t c) { return c > 0xFFFF; }
bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Where wchar_t is UTF-16 (Windows), a character beyond the BMP takes two.
void appendCharacter(std::wstring& text, char32_t c) {
    if (sizeof(wchar_t) == 2 && beyondBmp(c)) {
        text += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        text += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        text += static_cast<wchar_t>(c);
    }
}

// UTF-16 units combined into wchar_t. With lenient set (value data, which
// Windows stores as given) an unpaired surrogate is kept as it is; otherwise
// the offset of the unit is returned in bad and decoding stops.
bool appendUtf16(const unsigned char* bytes, std::size_t units, bool lenient, std::wstring& text, std::size_t& bad) {
    for (std::size_t i = 0; i < units; ++i) {
        const char32_t unit = bytes[2 * i] | bytes[2 * i + 1] << 8;
        const char32_t next = i + 1 < units ? bytes[2 * i + 2] | bytes[2 * i + 3] << 8 : 0;
        if (isHighSurrogate(unit) && isLowSurrogate(next)) {
            appendCharacter(text, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
            ++i;
        } else if (!lenient && (isHighSurrogate(unit) || isLowSurrogate(unit))) {
            bad = 2 * i;
            return false;
        } else {
            text += static_cast<wchar_t>(unit);
        }
    }
    return true;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
// False with the offset of the first byte that is no part of a character.
bool appendUtf8(const unsigned char* bytes, std::size_t size, std::wstring& text, std::size_t& bad) {
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            text += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        std::size_t length = 1;
        char32_t c = lead;
        char32_t least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, c = lead & 0x1F, least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, c = lead & 0x0F, least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, c = lead & 0x07, least = 0x10000;
        } else {
            bad = i;
            return false;
        }
        if (size - i < length) {
            bad = i;
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                bad = i;
                return false;
            }
            c = c << 6 | (bytes[i + k] & 0x3F);
        }
        if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            bad = i;
            return false;
        }
        appendCharacter(text, c);
        i += length;
    }
    return true;
}

// The file's text, or what is wrong with its encoding.
bool decodeFile(const std::vector<unsigned char>& bytes, std::wstring& text, std::wstring& problem) {
    const unsigned char* data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t bad = 0;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        if (size % 2 != 0) {
            problem = L"The UTF-16 file has an odd number of bytes: it is cut short";
            return false;
        }
        text.reserve(size / 2);
        if (!appendUtf16(data + 2, size / 2 - 1, false, text, bad)) {
            problem = L"The UTF-16 text holds an unpaired surrogate at byte " + std::to_wstring(bad + 2);
            return false;
        }
        if (text.find(L'\0') != std::wstring::npos) {
            problem = L"The file holds a NUL character, which no registry file has";
            return false;
        }
        return true;
    }
    if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
        problem = L"The file is UTF-16 big-endian, which regedit does not read; save it as UTF-16LE or UTF-8";
        return false;
    }
    // Eight-bit text never holds a NUL; UTF-16 or UTF-32 without the mark does.
    if (std::memchr(data, 0, size) != nullptr) {
        problem = L"The file holds NUL bytes, as UTF-16 without its byte-order mark (FF FE) does";
        return false;
    }
    const bool marked = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF;
    const std::size_t start = marked ? 3 : 0;
    text.reserve(size - start);
    if (appendUtf8(data + start, size - start, text, bad)) {
        return true;
    }
    // A file that says it is UTF-8 and is not was damaged; reading it as
    // Windows-1252 would apply other text than its author wrote.
    if (marked) {
        problem = L"The file is marked as UTF-8 but is not valid UTF-8 at byte " + std::to_wstring(start + bad);
        return false;
    }
    text.clear();
    for (std::size_t i = 0; i < size; ++i) {
        appendCharacter(text, fromWindows1252(data[i]));
    }
    return true;
}

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view trimmedEnd(std::wstring_view text) {
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::wstring_view trimmed(std::wstring_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    return trimmedEnd(text);
}

wchar_t asciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// The name in lower case; only the letters A to Z have another case.
bool startsWithAscii(std::wstring_view text, std::wstring_view lowerName) {
    if (text.size() < lowerName.size()) {
        return false;
    }
    for (std::size_t i = 0; i < lowerName.size(); ++i) {
        if (asciiLower(text[i]) != lowerName[i]) {
            return false;
        }
    }
    return true;
}

int hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    c = asciiLower(c);
    return c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
}

// Up to eight hexadecimal digits from position; false when there are none or
// more than eight.
bool readHexNumber(std::wstring_view text, std::size_t& position, DWORD& value) {
    const std::size_t start = position;
    value = 0;
    while (position < text.size() && hexDigit(text[position]) >= 0) {
        if (position - start == 8) {
            return false;
        }
        value = value << 4 | static_cast<DWORD>(hexDigit(text[position++]));
    }
    return position > start;
}

std::size_t utf16Length(std::wstring_view text) {
    std::size_t units = text.size();
    if (sizeof(wchar_t) > 2) {
        for (wchar_t c : text) {
            units += beyondBmp(static_cast<char32_t>(c)) ? 1 : 0;
        }
    }
    return units;
}

// The text between single quotes, cut after a few dozen characters, with
// control characters shown as '?' so that the log line stays one line.
std::wstring quoted(std::wstring_view text) {
    std::size_t count = text.size() > longestQuote ? longestQuote - 3 : text.size();
    if (count < text.size() && isHighSurrogate(static_cast<char32_t>(text[count - 1]))) {
        --count;
    }
    std::wstring out = L"'";
    for (std::size_t i = 0; i < count; ++i) {
        const auto c = static_cast<char32_t>(text[i]);
        const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029;
        out += control ? L'?' : text[i];
    }
    return out + (count < text.size() ? L"...'" : L"'");
}

void appendWide(std::vector<unsigned char>& data, const std::wstring& text) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    data.insert(data.end(), begin, begin + text.size() * sizeof(wchar_t));
}

class Reader {
public:
    Reader(const std::wstring& text, RegFile& out) : text_(text), out_(out) {}

    bool read();

    std::size_t errorLine = 0;
    std::wstring problem;

private:
    bool nextLine(std::wstring_view& line);
    bool refuse(std::size_t line, const wchar_t* what, std::wstring_view text);
    bool section(std::wstring_view line);
    bool value(std::wstring_view entry, std::size_t line);
    const wchar_t* readData(std::wstring_view data, RegChange& change) const;
    void add(RegChange change);

    const std::wstring& text_;
    RegFile& out_;
    std::size_t position_ = 0;
    std::size_t lineNumber_ = 0;
    bool unicode_ = true;  // Windows Registry Editor Version 5.00, not REGEDIT4
    bool inSection_ = false;
    bool deleting_ = false;
    std::wstring keyPath_;
    std::wstring joined_;  // a value continued over several lines
};

// The next physical line, without its LF and a CR before it.
bool Reader::nextLine(std::wstring_view& line) {
    if (position_ > text_.size()) {
        return false;
    }
    std::size_t end = text_.find(L'\n', position_);
    if (end == std::wstring::npos) {
        end = text_.size();
    }
    line = std::wstring_view(text_).substr(position_, end - position_);
    if (!line.empty() && line.back() == L'\r') {
        line.remove_suffix(1);
    }
    position_ = end + 1;
    ++lineNumber_;
    return true;
}

bool Reader::refuse(std::size_t line, const wchar_t* what, std::wstring_view text) {
    errorLine = line;
    problem = std::wstring(what) + L": " + quoted(text);
    return false;
}

bool Reader::read() {
    std::wstring_view line;
    nextLine(line);
    const std::wstring_view header = trimmedEnd(line);
    if (header == L"Windows Registry Editor Version 5.00") {
        unicode_ = true;
    } else if (header == L"REGEDIT4") {
        unicode_ = false;
    } else {
        return refuse(1, L"The first line is not 'Windows Registry Editor Version 5.00' or 'REGEDIT4'", line);
    }
    while (nextLine(line)) {
        const std::size_t number = lineNumber_;
        const std::wstring_view entry = trimmed(line);
        if (entry.empty() || entry.front() == L';') {
            continue;
        }
        if (entry.front() == L'[') {
            if (!section(entry)) {
                return false;
            }
            continue;
        }
        if (entry.front() != L'"' && entry.front() != L'@') {
            return refuse(number, L"A line that is neither a key, a value nor a comment", entry);
        }
        // Regedit writes long hex lists over several lines, each but the
        // last ending in a backslash; the next one's indent is not data.
        std::wstring_view whole = entry;
        if (entry.back() == L'\\') {
            joined_.assign(entry);
            while (!joined_.empty() && joined_.back() == L'\\' && nextLine(line)) {
                joined_.pop_back();
                joined_ += trimmed(line);
            }
            whole = joined_;
        }
        if (!inSection_) {
            return refuse(number, L"A value before the first key line", whole);
        }
        // Regedit ignores the values of a key it deletes, unread.
        if (!deleting_ && !value(whole, number)) {
            return false;
        }
    }
    return true;
}

bool Reader::section(std::wstring_view line) {
    const std::size_t number = lineNumber_;
    // A key name may hold ']', so the line's last one closes the path.
    const std::size_t close = line.rfind(L']');
    if (close == std::wstring_view::npos) {
        return refuse(number, L"A key line without its closing ']'", line);
    }
    if (close + 1 != line.size()) {
        return refuse(number, L"Text after the closing ']' of a key line", line);
    }
    std::wstring_view path = line.substr(1, close - 1);
    const bool deleting = !path.empty() && path.front() == L'-';
    if (deleting) {
        path.remove_prefix(1);
    }
    const std::wstring_view root = path.substr(0, path.find(L'\\'));
    if (root.size() != 17 || !startsWithAscii(root, L"hkey_current_user")) {
        return refuse(number, L"A key outside HKEY_CURRENT_USER, which cannot be applied to every profile", line);
    }
    path.remove_prefix(root.size());
    if (!path.empty()) {
        path.remove_prefix(1);
    }
    while (!path.empty() && path.back() == L'\\') {
        path.remove_suffix(1);
    }
    // An empty name between backslashes is a typing slip whose meaning the
    // registry calls do not agree on; a trailing backslash changes nothing.
    for (std::size_t begin = 0; begin < path.size();) {
        std::size_t end = path.find(L'\\', begin);
        end = end == std::wstring_view::npos ? path.size() : end;
        if (end == begin) {
            return refuse(number, L"A key path with an empty key name (two backslashes)", line);
        }
        if (utf16Length(path.substr(begin, end - begin)) > longestKeyName) {
            return refuse(number, L"A key name longer than 255 characters", line);
        }
        begin = end + 1;
    }
    RegChange change;
    change.line = number;
    change.keyPath = std::wstring(path);
    if (deleting) {
        // Deleting a hive's root would empty the user's whole registry or
        // classes; the registry cannot delete a root either.
        if (path.empty()) {
            return refuse(number, L"Deleting HKEY_CURRENT_USER itself is refused", line);
        }
        if (userHiveOfSubKey(change.keyPath) == UserHive::classes && subKeyInUserHive(change.keyPath).empty()) {
            return refuse(number, L"Deleting Software\\Classes, the root of the user's classes hive, is refused",
                          line);
        }
        change.kind = RegChangeKind::deleteKey;
    }
    inSection_ = true;
    deleting_ = deleting;
    keyPath_ = change.keyPath;
    add(std::move(change));
    return true;
}

// A quoted name or text from position, which ends after the closing quote.
// Only \\ and \" are escapes; a backslash before anything else is kept.
bool readQuoted(std::wstring_view text, std::size_t& position, std::wstring& out) {
    for (++position; position < text.size(); ++position) {
        const wchar_t c = text[position];
        if (c == L'\\' && position + 1 < text.size() && (text[position + 1] == L'\\' || text[position + 1] == L'"')) {
            out += text[++position];
        } else if (c == L'"') {
            ++position;
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

bool Reader::value(std::wstring_view entry, std::size_t line) {
    RegChange change;
    change.line = line;
    change.keyPath = keyPath_;
    // The default value is written @, a named one between quotes.
    std::size_t position = 0;
    if (entry.front() == L'@') {
        position = 1;
    } else if (!readQuoted(entry, position, change.valueName)) {
        return refuse(line, L"A value name without its closing quote", entry);
    }
    if (utf16Length(change.valueName) > longestValueName) {
        return refuse(line, L"A value name longer than 16,383 characters", entry);
    }
    // Blanks around '=' are taken as a hand-edited file means them.
    while (position < entry.size() && isBlank(entry[position])) {
        ++position;
    }
    if (position == entry.size() || entry[position] != L'=') {
        return refuse(line, L"A value name not followed by '='", entry);
    }
    const std::wstring_view data = trimmed(entry.substr(position + 1));
    if (data == L"-") {
        change.kind = RegChangeKind::deleteValue;
    } else {
        change.kind = RegChangeKind::setValue;
        if (const wchar_t* wrong = readData(data, change)) {
            return refuse(line, wrong, entry);
        }
    }
    add(std::move(change));
    return true;
}

// The data after '=': the type and bytes into change, or what is wrong.
const wchar_t* Reader::readData(std::wstring_view data, RegChange& change) const {
    const wchar_t* const unknownForm = L"Data of no form this tool reads (a string, dword:, hex: or hex(N):)";
    std::size_t position = 0;
    if (!data.empty() && data.front() == L'"') {
        std::wstring text;
        if (!readQuoted(data, position, text)) {
            return L"A string without its closing quote";
        }
        if (position != data.size()) {
            return L"Text after the closing quote of a string";
        }
        change.type = REG_SZ;
        appendWide(change.data, text + L'\0');
        return nullptr;
    }
    if (startsWithAscii(data, L"dword:")) {
        position = 6;
        DWORD number = 0;
        if (!readHexNumber(data, position, number) || position != data.size()) {
            return L"A dword that is not 1 to 8 hexadecimal digits";
        }
        change.type = REG_DWORD;
        for (int i = 0; i < 4; ++i) {
            change.data.push_back(static_cast<unsigned char>(number >> (8 * i)));
        }
        return nullptr;
    }
    if (!startsWithAscii(data, L"hex")) {
        return data.empty() ? L"A value without data after '='" : unknownForm;
    }
    position = 3;
    change.type = REG_BINARY;
    if (position < data.size() && data[position] == L'(') {
        ++position;
        if (!readHexNumber(data, position, change.type) || position == data.size() || data[position] != L')') {
            return L"A hex(type) whose type is not 1 to 8 hexadecimal digits";
        }
        ++position;
    }
    if (position == data.size() || data[position] != L':') {
        return unknownForm;
    }
    ++position;
    std::vector<unsigned char> bytes;
    bytes.reserve(data.size() / 3 + 1);
    const auto skipBlanks = [&] {
        while (position < data.size() && isBlank(data[position])) {
            ++position;
        }
    };
    skipBlanks();
    while (position < data.size()) {
        const std::size_t start = position;
        unsigned value = 0;
        while (position < data.size() && position - start < 2 && hexDigit(data[position]) >= 0) {
            value = value << 4 | static_cast<unsigned>(hexDigit(data[position++]));
        }
        if (position == start) {
            return L"A hex list with something other than bytes of one or two hexadecimal digits";
        }
        bytes.push_back(static_cast<unsigned char>(value));
        skipBlanks();
        if (position == data.size()) {
            break;
        }
        if (data[position] != L',') {
            return L"A hex list with something other than bytes of one or two hexadecimal digits";
        }
        ++position;
        skipBlanks();
        // A trailing comma is where a byte, or the backslash that continued
        // the list on the next line, was lost.
        if (position == data.size()) {
            return L"A hex list that ends with a comma";
        }
    }
    const bool text = change.type == REG_SZ || change.type == REG_EXPAND_SZ || change.type == REG_MULTI_SZ;
    if (!text) {
        change.data = std::move(bytes);
        return nullptr;
    }
    std::wstring wide;
    if (unicode_) {
        // UTF-16LE units, stored as written; an odd last byte is one more unit.
        std::size_t ignored = 0;
        appendUtf16(bytes.data(), bytes.size() / 2, true, wide, ignored);
        if (bytes.size() % 2 != 0) {
            wide += static_cast<wchar_t>(bytes.back());
        }
    } else {
        // REGEDIT4's text is 8-bit; regedit stores it converted, terminated.
        for (unsigned char byte : bytes) {
            appendCharacter(wide, fromWindows1252(byte));
        }
        if (bytes.empty() || bytes.back() != 0) {
            wide += L'\0';
        }
    }
    appendWide(change.data, wide);
    return nullptr;
}

void Reader::add(RegChange change) {
    switch (change.kind) {
        case RegChangeKind::createKey:
            ++out_.keys;
            break;
        case RegChangeKind::setValue:
            ++out_.values;
            break;
        case RegChangeKind::deleteKey:
        case RegChangeKind::deleteValue:
            ++out_.deletions;
            break;
    }
    out_.changes.push_back(std::move(change));
}

}  // namespace

bool parseRegFile(const std::vector<unsigned char>& bytes, RegFile& out, std::size_t& errorLine,
                  std::wstring& problem) {
    out = RegFile{};
    errorLine = 0;
    problem.clear();
    std::wstring text;
    if (!decodeFile(bytes, text, problem)) {
        return false;
    }
    Reader reader(text, out);
    if (reader.read()) {
        return true;
    }
    // Nothing of a refused file may be applied, not even what came before.
    out = RegFile{};
    errorLine = reader.errorLine;
    problem = reader.problem;
    return false;
}
