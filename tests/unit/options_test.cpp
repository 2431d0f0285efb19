#include "app/options.h"
#include "log/log.h"
#include "test_support.h"

namespace {

const std::optional<std::wstring> none;

struct ParseCase {
    const wchar_t* text;
    bool includeDefaultProfile;
    std::optional<Operation> operation;
    std::optional<std::wstring> subKey;
    std::optional<std::wstring> valueName;
    std::optional<std::wstring> valueSZ;
    const char* missingLine;  // nullptr when no line is expected
    std::optional<std::wstring> importFile = std::nullopt;
};

class ParseCommandLine : public TarnwickTest {};

TEST_F(ParseCommandLine, SwitchesValuesAndOddInput) {
    const ParseCase cases[] = {
        {L"", false, std::nullopt, none, none, none, nullptr},
        {L"/set /k Software\\A /vn Name /vstr Data", false, Operation::setValue, L"Software\\A", L"Name", L"Data",
         nullptr},
        {L"/SET /K Soft /Vn NaMe /VSTR DaTa /Dp", true, Operation::setValue, L"Soft", L"NaMe", L"DaTa", nullptr},
        {L"/del /k S /vn N /vstr ignored", false, Operation::deleteValue, L"S", L"N", L"ignored", nullptr},
        {L"/set /del", false, Operation::deleteValue, none, none, none, nullptr},
        {L"/del /set", false, Operation::setValue, none, none, none, nullptr},
        {L"/k first /k second", false, std::nullopt, L"second", none, none, nullptr},
        {L"/k first /K", false, std::nullopt, L"first", none, none, "Missing value for switch /k"},
        {L"/vn", false, std::nullopt, none, none, none, "Missing value for switch /vn"},
        {L"/set /VSTR", false, Operation::setValue, none, none, none, "Missing value for switch /vstr"},
        {L"/vstr \"\"", false, std::nullopt, none, none, L"", nullptr},
        {L"/vstr \"two  words\"", false, std::nullopt, none, none, L"two  words", nullptr},
        // A value is never taken for a switch, even when it looks like one.
        {L"/k /vn word", false, std::nullopt, L"/vn", none, none, nullptr},
        {L"/k /dp", false, std::nullopt, L"/dp", none, none, nullptr},
        // Near misses and bare words are skipped silently.
        {L"-set /set: /sets /s /d /kk word \"\" /vn x", false, std::nullopt, none, L"x", none, nullptr},
        {L"/dp /dp", true, std::nullopt, none, none, none, nullptr},
        // /import names its file and chooses the operation like the others.
        {L"/import \"C:\\a b.reg\" /dp", true, Operation::importFile, none, none, none, nullptr, L"C:\\a b.reg"},
        {L"/import a.reg /delkey /k S", false, Operation::deleteKey, L"S", none, none, nullptr, L"a.reg"},
        {L"/DELKEY /Import", false, Operation::importFile, none, none, none, "Missing value for switch /import"},
        // The first element follows the program-name rules: no escapes.
        {L"\"/set\" /k a\\\"b", false, Operation::setValue, L"a\"b", none, none, nullptr},
    };
    for (const ParseCase& c : cases) {
        resetLogForTests();
        std::remove((tempDir_ + "/tarnwick.log").c_str());
        const CommandLineArgs args = parseCommandLine(c.text);
        const std::string text = narrow(c.text);
        EXPECT_EQ(args.includeDefaultProfile, c.includeDefaultProfile) << text;
        EXPECT_EQ(args.operation, c.operation) << text;
        EXPECT_EQ(args.subKey, c.subKey) << text;
        EXPECT_EQ(args.valueName, c.valueName) << text;
        EXPECT_EQ(args.valueSZ, c.valueSZ) << text;
        EXPECT_EQ(args.importFile, c.importFile) << text;
        const std::vector<std::string> lines = logMessages();
        if (c.missingLine == nullptr) {
            EXPECT_TRUE(lines.empty()) << text;
        } else {
            EXPECT_EQ(lines, std::vector<std::string>{c.missingLine}) << text;
        }
    }
}

TEST_F(ParseCommandLine, NullTextGivesNoElements) {
    EXPECT_TRUE(splitCommandLine(nullptr).empty());
    const CommandLineArgs args = parseCommandLine(nullptr);
    EXPECT_FALSE(args.operation.has_value());
}

class ParsedArgsReport : public TarnwickTest {};

TEST_F(ParsedArgsReport, LabelsAlignedAndMissingFieldsNamed) {
    CommandLineArgs args;
    logParsedArgs(args);
    args.includeDefaultProfile = true;
    args.operation = Operation::deleteValue;
    args.subKey = L"Software\\Tarnwick";
    args.valueName = L"";
    args.valueSZ = L"missing";
    logParsedArgs(args);
    args.operation = Operation::setValue;
    logParsedArgs(args);
    args.operation = static_cast<Operation>(7);
    logParsedArgs(args);
    args.operation = Operation::importFile;
    args.importFile = L"C:\\deploy\\settings.reg";
    logParsedArgs(args);

    const std::vector<std::string> expected = {
        "Parsed args:",
        "     includeDefaultProfile: false",
        "                 operation: missing",
        "                    subKey: missing",
        "                 valueName: missing",
        "                   valueSZ: missing",
        "Parsed args:",
        "     includeDefaultProfile: true",
        "                 operation: deleteValue",
        "                    subKey: Software\\Tarnwick",
        "                 valueName: ",
        "                   valueSZ: missing",
        "Parsed args:",
        "     includeDefaultProfile: true",
        "                 operation: setValue",
        "                    subKey: Software\\Tarnwick",
        "                 valueName: ",
        "                   valueSZ: missing",
        "Parsed args:",
        "     includeDefaultProfile: true",
        "                 operation: <unknown>",
        "                    subKey: Software\\Tarnwick",
        "                 valueName: ",
        "                   valueSZ: missing",
        "Parsed args:",
        "     includeDefaultProfile: true",
        "                 operation: importFile",
        "                    subKey: Software\\Tarnwick",
        "                 valueName: ",
        "                   valueSZ: missing",
        "                importFile: C:\\deploy\\settings.reg",
    };
    EXPECT_EQ(logMessages(), expected);
}

}  // namespace
