#include "ops/reg_file.h"

#include <cstdio>

#include "platform/linux/utf.h"
#include "test_support.h"

namespace {

// UTF-16LE with its mark, as regedit writes files.
std::string utf16(const std::string& text) { return "\xFF\xFE" + utf16leFromWide(wideFromUtf8(text)); }

// The changes as "line:[path]", "line:-[path]", "line:[path]name=-" and "line:[path]name=type:data", the type
// in hexadecimal, the data of string types as its characters (\0 for a null), other data as hexadecimal bytes.
std::string shown(const RegFile& file) {
    std::string out;
    for (const RegChange& c : file.changes) {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "=%x:", static_cast<unsigned>(c.type));
        const bool value = c.kind == RegChangeKind::setValue || c.kind == RegChangeKind::deleteValue;
        out += (out.empty() ? "" : " ") + std::to_string(c.line) + (c.kind == RegChangeKind::deleteKey ? ":-[" : ":[") +
               utf8FromWide(c.keyPath) + "]" + (value ? utf8FromWide(c.valueName) : "") +
               (c.kind == RegChangeKind::deleteValue ? "=-" : value ? hex : "");
        const bool text = c.type == REG_SZ || c.type == REG_EXPAND_SZ || c.type == REG_MULTI_SZ;
        const std::wstring chars(reinterpret_cast<const wchar_t*>(c.data.data()),
                                 text ? c.data.size() / sizeof(wchar_t) : 0);
        for (wchar_t w : chars) {
            out += w == L'\0' ? "\\0" : utf8FromWide(std::wstring(1, w));
        }
        for (std::size_t i = 0; !text && i < c.data.size(); ++i) {
            std::snprintf(hex, sizeof(hex), "%02x", c.data[i]);
            out += hex;
        }
    }
    return out;
}

const std::string v5 = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string v4 = "REGEDIT4\n\n";
const std::string keyA = "[HKEY_CURRENT_USER\\A]\n";

TEST(ParseRegFile, ChangesAndRefusals) {
    using namespace std::string_literals;
    const struct {
        std::string text;
        std::string expected;  // the changes, or "refused at line N"
    } cases[] = {
        // Every form as regedit exports it, long hex lists continued.
        {utf16(v5 + "[HKEY_CURRENT_USER\\A]\r\n@=\"de\\\\f\\\"q\\n\"\r\n\"P\"=dword:00001f90\r\n"
                    "\"B\"=hex:01,ff,\\\r\n  0A\r\n\"E\"=hex(2):25,00,41,00,00,00\r\n\"M\"=hex(7):61,00,00,00,00,00\r\n"
                    "\"Q\"=hex(b):01,00,00,00,00,00,00,80\r\n\"N\"=hex(0):\r\n\"O\"=hex(4567abcd):07\r\n\r\n"),
         R"(3:[A] 4:[A]=1:de\f"q\n\0 5:[A]P=4:901f0000 6:[A]B=3:01ff0a 8:[A]E=2:%A\0 9:[A]M=7:a\0\0)"
         R"( 10:[A]Q=b:0100000000000080 11:[A]N=0: 12:[A]O=4567abcd:07)"},
        // UTF-16 value bytes: a pair is one character, an odd last byte one unit.
        {v5 + keyA + "\"s\"=hex(1):3d,d8,00,de,41\n", "3:[A] 4:[A]s=1:\U0001F600A"},
        // The file's text in each encoding; é and an emoji in names and data.
        {"\xEF\xBB\xBF" + v5 + "[HKEY_CURRENT_USER\\Caf\xC3\xA9]\n\"\xC3\xA9\"=\"\xF0\x9F\x98\x80\"\n",
         "3:[Café] 4:[Café]é=1:\U0001F600\\0"},
        {v5 + "[HKEY_CURRENT_USER\\Caf\xC3\xA9]\r\n\"\xC3\xA9\"=\"\xF0\x9F\x98\x80\"\r\n",
         "3:[Café] 4:[Café]é=1:\U0001F600\\0"},
        {v4 + "[HKEY_CURRENT_USER\\Caf\xE9]\n\"\x80\x81\"=\"\x9F\"\n", "3:[Café] 4:[Café]€\u0081=1:Ÿ\\0"},
        // An encoded surrogate is no UTF-8: the file is Windows-1252.
        {v5 + keyA + "\"a\"=\"\xED\xA0\x80\"", "3:[A] 4:[A]a=1:í\u00a0€\\0"},
        // REGEDIT4: string bytes are 8-bit, stored converted and terminated.
        {v4 + keyA + "\"a\"=hex(2):e9,80\n\"b\"=hex(7):61,00,00\n\"c\"=hex(1):\n\"d\"=hex:e9\n",
         R"(3:[A] 4:[A]a=2:é€\0 5:[A]b=7:a\0\0 6:[A]c=1:\0 7:[A]d=3:e9)"},
        // A deleted key's values are not read, continued or not.
        {v5 + "; comment\n  ;indented\n[-HKEY_CURRENT_USER\\A\\B]\n\"x\"=nonsense\n\"y\"=hex:01,\\\n  zz\n" + keyA +
             "\"x\"=-\n@=-\n", "5:-[A\\B] 9:[A] 10:[A]x=- 11:[A]=-"},
        // Roots and paths; what is lenient: case, blanks, a trailing backslash.
        {"REGEDIT4 \t\n[HKEY_CURRENT_USER]\n[hkey_current_user\\A\\]  \n[HKEY_CURRENT_USER\\a]b]\n"
         "[-HKEY_CURRENT_USER\\Software\\Classes\\.c]\n[HKEY_CURRENT_USER\\Software\\Classes]\n"
         " \"x\" = DWORD:FfFf \n\"y\"\t=HEX(B): 01 ,2\n\"z\"=hex:\n\"\"=\"\"\n\"@\"=\"v\"\n",
         R"(2:[] 3:[A] 4:[a]b] 5:-[Software\Classes\.c] 6:[Software\Classes] 7:[Software\Classes]x=4:ffff0000)"
         R"( 8:[Software\Classes]y=b:0102 9:[Software\Classes]z=3: 10:[Software\Classes]=1:\0)"
         R"( 11:[Software\Classes]@=1:v\0)"},
        {v5 + "[HKEY_CURRENT_USER\\" + std::string(255, 'k') + "]", "3:[" + std::string(255, 'k') + "]"},
        // Refused: the file as a whole.
        {"\xFE\xFF\0R"s, "refused at line 0"},         // UTF-16BE
        {"\xFF\xFER"s, "refused at line 0"},           // odd length
        {"\xFF\xFE\x00\xD8R\0"s, "refused at line 0"},  // unpaired surrogate
        {"\xFF\xFER\0\0\0"s, "refused at line 0"},      // NUL
        {"R\0E\0"s, "refused at line 0"},              // UTF-16 without its mark
        {"\xEF\xBB\xBF" + v5 + "\xE9", "refused at line 0"},
        {"", "refused at line 1"},
        {"Windows Registry Editor Version 5.0\n", "refused at line 1"},
        // Refused: keys.
        {v5 + keyA + "[HKEY_LOCAL_MACHINE\\Software\\A]", "refused at line 4"},
        {v5 + "[HKCU\\A]", "refused at line 3"},
        {v5 + "[-HKEY_USERS\\S-1-5-21-1\\A]", "refused at line 3"},
        {v5 + "[-HKEY_CURRENT_USER]", "refused at line 3"},
        {v5 + "[-HKEY_CURRENT_USER\\\\]", "refused at line 3"},
        {v5 + "[-hkey_current_user\\software\\CLASSES\\]", "refused at line 3"},
        {v5 + "[HKEY_CURRENT_USER\\A", "refused at line 3"},
        {v5 + "[HKEY_CURRENT_USER\\A] ; note", "refused at line 3"},
        {v5 + "[HKEY_CURRENT_USER\\A\\\\B]", "refused at line 3"},
        {v5 + "[HKEY_CURRENT_USER\\" + std::string(256, 'k') + "]", "refused at line 3"},
        // Refused: values.
        {v5 + "\"a\"=\"b\"\n" + keyA, "refused at line 3"},
        {v5 + keyA + "HKEY_CURRENT_USER\\A", "refused at line 4"},
        {v5 + keyA + "@x=\"b\"", "refused at line 4"},
        {v5 + keyA + "\"a\"=\"b\\\"", "refused at line 4"},
        {v5 + keyA + "\"a\"=\"b\" x", "refused at line 4"},
        {v5 + keyA + "\"a\"=-x", "refused at line 4"},
        {v5 + keyA + "\"a\"=dword:123456789", "refused at line 4"},
        {v5 + keyA + "\"a\"=hex(123456789):00", "refused at line 4"},
        {v5 + keyA + "\"a\"=hex:012", "refused at line 4"},
        {v5 + keyA + "\"a\"=hex:01,02,", "refused at line 4"},
        {v5 + keyA + "\n\n\"a\"=hex:01,\\\n 02,\\\n 0g", "refused at line 6"},
    };
    for (const auto& c : cases) {
        RegFile file;
        std::size_t line = 99;
        std::wstring problem;
        const bool ok = parseRegFile({c.text.begin(), c.text.end()}, file, line, problem);
        EXPECT_EQ(ok ? shown(file) : "refused at line " + std::to_string(line), c.expected)
            << c.text.substr(0, 200) << "\nproblem: " << utf8FromWide(problem);
    }
}

}  // namespace
