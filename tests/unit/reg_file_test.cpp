#include "ops/reg_file.h"

#include <cstdio>

#include "platform/linux/utf.h"
#include "test_support.h"

// Found by the comparison of two change lists, in the namespace of RegChange.
bool operator==(const RegChange& a, const RegChange& b) {
    return a.kind == b.kind && a.line == b.line && a.keyPath == b.keyPath && a.valueName == b.valueName &&
           a.type == b.type && a.data == b.data;
}

namespace {

using namespace std::string_literals;

enum class Coding { bytes, utf8Mark, utf16Mark };

std::vector<unsigned char> encoded(const std::string& text, Coding coding) {
    std::string out = coding == Coding::utf8Mark    ? "\xEF\xBB\xBF" + text
                      : coding == Coding::utf16Mark ? "\xFF\xFE" + utf16leFromWide(wideFromUtf8(text))
                                                    : text;
    return {out.begin(), out.end()};
}

std::vector<unsigned char> wide(const std::wstring& text) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    return {begin, begin + text.size() * sizeof(wchar_t)};
}
std::vector<unsigned char> sz(const wchar_t* text) { return wide(text + L"\0"s); }

RegChange change(RegChangeKind kind, std::size_t line, const wchar_t* key, const wchar_t* name = L"",
                 DWORD type = REG_NONE, std::vector<unsigned char> data = {}) {
    return {kind, line, key, name, type, std::move(data)};
}
RegChange key(std::size_t line, const wchar_t* path) { return change(RegChangeKind::createKey, line, path); }
RegChange set(std::size_t line, const wchar_t* path, const wchar_t* name, DWORD type, std::vector<unsigned char> data) {
    return change(RegChangeKind::setValue, line, path, name, type, std::move(data));
}

std::string shown(const std::vector<RegChange>& changes) {
    std::string out;
    for (const RegChange& c : changes) {
        out += "\n  " + std::to_string(static_cast<int>(c.kind)) + " line " + std::to_string(c.line) + " [" +
               utf8FromWide(c.keyPath) + "] \"" + utf8FromWide(c.valueName) + "\" type " + std::to_string(c.type) +
               " data";
        for (unsigned char b : c.data) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), " %02x", b);
            out += hex;
        }
    }
    return out;
}

const std::string v5 = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string v4 = "REGEDIT4\n\n";
const std::string hkcuA = "[HKEY_CURRENT_USER\\A]\n";
const long accepted = -1;

TEST(ParseRegFile, ChangesAndRefusals) {
    const auto deleted = RegChangeKind::deleteKey;
    const auto unset = RegChangeKind::deleteValue;
    const struct {
        Coding coding;
        std::string text;
        long refusedAt;  // the line refused, or accepted
        std::vector<RegChange> changes;
    } cases[] = {
        // Every form, in what regedit exports, long hex lists continued.
        {Coding::utf16Mark,
         v5 + "[HKEY_CURRENT_USER\\Software\\Contoso]\r\n@=\"de\\\\f\\\"q\\n\"\r\n\"Port\"=dword:00001f90\r\n"
              "\"Bin\"=hex:01,ff,\\\r\n  0A\r\n\"Exp\"=hex(2):25,00,41,00,00,00\r\n\"Multi\"=hex(7):61,00,00,00,00,00\r\n"
              "\"Q\"=hex(b):01,00,00,00,00,00,00,80\r\n\"N\"=hex(0):\r\n\"Own\"=hex(4567abcd):07\r\n\r\n",
         accepted,
         {key(3, L"Software\\Contoso"), set(4, L"Software\\Contoso", L"", REG_SZ, sz(L"de\\f\"q\\n")),
          set(5, L"Software\\Contoso", L"Port", REG_DWORD, {0x90, 0x1f, 0, 0}),
          set(6, L"Software\\Contoso", L"Bin", REG_BINARY, {1, 0xff, 0x0a}),
          set(8, L"Software\\Contoso", L"Exp", REG_EXPAND_SZ, sz(L"%A")),
          set(9, L"Software\\Contoso", L"Multi", REG_MULTI_SZ, wide(L"a\0\0"s)),
          set(10, L"Software\\Contoso", L"Q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0x80}),
          set(11, L"Software\\Contoso", L"N", REG_NONE, {}), set(12, L"Software\\Contoso", L"Own", 0x4567abcd, {7})}},
        // UTF-16 value bytes: a pair is one character, an odd last byte one unit.
        {Coding::bytes, v5 + hkcuA + "\"s\"=hex(1):3d,d8,00,de,41\n", accepted,
         {key(3, L"A"), set(4, L"A", L"s", REG_SZ, wide(L"\U0001F600A"))}},
        // The file's text in each encoding; é and an emoji in names and data.
        {Coding::utf8Mark, v5 + "[HKEY_CURRENT_USER\\Caf\xC3\xA9]\n\"\xC3\xA9\"=\"\xF0\x9F\x98\x80\"\n", accepted,
         {key(3, L"Caf\u00e9"), set(4, L"Caf\u00e9", L"\u00e9", REG_SZ, sz(L"\U0001F600"))}},
        {Coding::bytes, v5 + "[HKEY_CURRENT_USER\\Caf\xC3\xA9]\r\n\"\xC3\xA9\"=\"\xF0\x9F\x98\x80\"\r\n", accepted,
         {key(3, L"Caf\u00e9"), set(4, L"Caf\u00e9", L"\u00e9", REG_SZ, sz(L"\U0001F600"))}},
        {Coding::bytes, v4 + "[HKEY_CURRENT_USER\\Caf\xE9]\n\"\x80\x81\"=\"\x9F\"\n", accepted,
         {key(3, L"Caf\u00e9"), set(4, L"Caf\u00e9", L"\u20ac\u0081", REG_SZ, sz(L"\u0178"))}},
        // REGEDIT4: string bytes are 8-bit, stored converted and terminated.
        {Coding::bytes, v4 + hkcuA + "\"a\"=hex(2):e9,80\n\"b\"=hex(7):61,00,00\n\"c\"=hex(1):\n\"d\"=hex:e9\n", accepted,
         {key(3, L"A"), set(4, L"A", L"a", REG_EXPAND_SZ, sz(L"\u00e9\u20ac")),
          set(5, L"A", L"b", REG_MULTI_SZ, wide(L"a\0\0"s)), set(6, L"A", L"c", REG_SZ, sz(L"")),
          set(7, L"A", L"d", REG_BINARY, {0xe9})}},
        // A deleted key's values are not read, continued or not.
        {Coding::bytes,
         v5 + "; comment\n  ;indented\n[-HKEY_CURRENT_USER\\A\\B]\n\"x\"=nonsense\n\"y\"=hex:01,\\\n  zz\n" + hkcuA +
             "\"x\"=-\n@=-\n",
         accepted,
         {change(deleted, 5, L"A\\B"), key(9, L"A"), change(unset, 10, L"A", L"x"), change(unset, 11, L"A", L"")}},
        // Roots, paths, and what is lenient: case, blanks, a trailing backslash.
        {Coding::bytes,
         "REGEDIT4 \t\n[HKEY_CURRENT_USER]\n[hkey_current_user\\A\\]  \n[HKEY_CURRENT_USER\\a]b]\n"
         "[-HKEY_CURRENT_USER\\Software\\Classes\\.abc]\n[HKEY_CURRENT_USER\\Software\\Classes]\n"
         " \"x\" = DWORD:FfFf \n\"y\"\t=HEX(B): 01 ,2\n\"z\"=hex:\n\"\"=\"\"\n\"@\"=\"v\"\n",
         accepted,
         {key(2, L""), key(3, L"A"), key(4, L"a]b"), change(deleted, 5, L"Software\\Classes\\.abc"),
          key(6, L"Software\\Classes"), set(7, L"Software\\Classes", L"x", REG_DWORD, {0xff, 0xff, 0, 0}),
          set(8, L"Software\\Classes", L"y", REG_QWORD, {1, 2}), set(9, L"Software\\Classes", L"z", REG_BINARY, {}),
          set(10, L"Software\\Classes", L"", REG_SZ, sz(L"")), set(11, L"Software\\Classes", L"@", REG_SZ, sz(L"v"))}},
        {Coding::bytes, v5 + "[HKEY_CURRENT_USER\\" + std::string(255, 'k') + "]", accepted,
         {key(3, std::wstring(255, L'k').c_str())}},
        // The file as a whole.
        {Coding::bytes, "\xFE\xFF\0R"s, 0, {}},
        {Coding::bytes, "\xFF\xFER"s, 0, {}},
        {Coding::bytes, "\xFF\xFE\x00\xD8R\0"s, 0, {}},
        {Coding::bytes, "\xFF\xFER\0\0\0"s, 0, {}},
        {Coding::bytes, "R\0E\0"s, 0, {}},
        {Coding::utf8Mark, v5 + "\xE9", 0, {}},
        // An encoded surrogate is no UTF-8: the file is Windows-1252.
        {Coding::bytes, v5 + hkcuA + "\"a\"=\"\xED\xA0\x80\"", accepted,
         {key(3, L"A"), set(4, L"A", L"a", REG_SZ, sz(L"\u00ed\u00a0\u20ac"))}},
        {Coding::bytes, "", 1, {}},
        {Coding::bytes, "\nREGEDIT4\n", 1, {}},
        {Coding::bytes, " REGEDIT4\n", 1, {}},
        {Coding::bytes, "Windows Registry Editor Version 5.0\n", 1, {}},
        // Keys.
        {Coding::bytes, v5 + hkcuA + "[HKEY_LOCAL_MACHINE\\Software\\A]", 4, {}},
        {Coding::bytes, v5 + "[HKCU\\A]", 3, {}},
        {Coding::bytes, v5 + "[-HKEY_USERS\\S-1-5-21-1\\A]", 3, {}},
        {Coding::bytes, v5 + "[HKEY_CURRENT_USERS\\A]", 3, {}},
        {Coding::bytes, v5 + "[]", 3, {}},
        {Coding::bytes, v5 + "[-HKEY_CURRENT_USER]", 3, {}},
        {Coding::bytes, v5 + "[-HKEY_CURRENT_USER\\\\]", 3, {}},
        {Coding::bytes, v5 + "[-HKEY_CURRENT_USER\\Software\\Classes]", 3, {}},
        {Coding::bytes, v5 + "[-hkey_current_user\\software\\CLASSES\\]", 3, {}},
        {Coding::bytes, v5 + "[HKEY_CURRENT_USER\\A", 3, {}},
        {Coding::bytes, v5 + "[HKEY_CURRENT_USER\\A] ; note", 3, {}},
        {Coding::bytes, v5 + "[HKEY_CURRENT_USER\\A\\\\B]", 3, {}},
        {Coding::bytes, v5 + "[HKEY_CURRENT_USER\\\\A]", 3, {}},
        {Coding::bytes, v5 + "[HKEY_CURRENT_USER\\" + std::string(256, 'k') + "]", 3, {}},
        // Values.
        {Coding::bytes, v5 + "\"a\"=\"b\"\n" + hkcuA, 3, {}},
        {Coding::bytes, v5 + hkcuA + "a=b", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a=\"b\"", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\" \"b\"", 4, {}},
        {Coding::bytes, v5 + hkcuA + "@x=\"b\"", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=\"b\\\"", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=\"b\" x", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=-x", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=dword:", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=dword:123456789", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=dword: 1", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=hex(123456789):00", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=hex():00", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=hex(2:00", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=hex:012", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=hex:01,,02", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=hex:,", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=hex:01,02,", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=hex:01,\\\n\n\"b\"=\"c\"", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\"a\"=str:x", 4, {}},
        {Coding::bytes, v5 + hkcuA + "\n\n\"a\"=hex:01,\\\n 02,\\\n 0g", 6, {}},
        {Coding::bytes, v5 + hkcuA + "HKEY_CURRENT_USER\\A", 4, {}},
    };
    for (const auto& c : cases) {
        RegFile file;
        std::size_t line = 99;
        std::wstring problem;
        const bool ok = parseRegFile(encoded(c.text, c.coding), file, line, problem);
        SCOPED_TRACE(c.text.substr(0, 200) + "\nproblem: " + utf8FromWide(problem));
        if (c.refusedAt == accepted) {
            ASSERT_TRUE(ok);
            EXPECT_TRUE(file.changes == c.changes) << "got" << shown(file.changes) << "\nexpected" << shown(c.changes);
            std::size_t counts[4] = {};
            for (const RegChange& change : c.changes) {
                ++counts[static_cast<int>(change.kind)];
            }
            EXPECT_EQ(file.keys, counts[0]);
            EXPECT_EQ(file.deletions, counts[1] + counts[3]);
            EXPECT_EQ(file.values, counts[2]);
        } else {
            ASSERT_FALSE(ok);
            EXPECT_EQ(static_cast<long>(line), c.refusedAt);
            EXPECT_TRUE(file.changes.empty() && file.keys + file.values + file.deletions == 0);
            // One short sentence, quoting a few dozen characters at most.
            EXPECT_TRUE(!problem.empty() && problem.size() < 200);
        }
    }
}

}  // namespace
