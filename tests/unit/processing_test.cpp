#include <cstring>

#include "app/options.h"
#include "ops/processing.h"
#include "test_support.h"

namespace {

const std::wstring hive = L"C:\\Users\\a\\ntuser.dat";

class ProcessingFunc : public TarnwickTest {
protected:
    void SetUp() override {
        TarnwickTest::SetUp();
        memplat::addHiveFile(hive);
        memplat::setHiveString(hive, L"Software\\Existing", L"Keep", L"old");
        memplat::mountHive(L"S-1-5-21-1", hive);
    }
    // Runs the operation on the hive root, opened as the hive access does.
    void run(const CommandLineArgs& args) {
        HKEY root = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, L"S-1-5-21-1", 0, KEY_WRITE, &root), 0);
        processingFunc(args, root);
        ASSERT_EQ(RegCloseKey(root), 0);
    }
};

CommandLineArgs argsOf(std::optional<Operation> op, std::optional<std::wstring> subKey,
                       std::optional<std::wstring> valueName, std::optional<std::wstring> valueSZ) {
    CommandLineArgs args;
    args.operation = op;
    args.subKey = std::move(subKey);
    args.valueName = std::move(valueName);
    args.valueSZ = std::move(valueSZ);
    return args;
}

TEST_F(ProcessingFunc, IncompleteArgumentsMakeNoRegistryCall) {
    const struct {
        CommandLineArgs args;
        const char* line;
    } cases[] = {
        {argsOf(std::nullopt, L"S", L"N", L"V"), "processingFunc: invalid args"},
        {argsOf(Operation::setValue, std::nullopt, L"N", L"V"), "processingFunc: invalid args"},
        {argsOf(Operation::deleteValue, L"S", std::nullopt, std::nullopt), "processingFunc: invalid args"},
        {argsOf(Operation::setValue, L"S", L"N", std::nullopt), "processingFunc: missing value to set"},
        {argsOf(static_cast<Operation>(2), L"S", L"N", L"V"), "processingFunc: unknown operation 2"},
        {argsOf(static_cast<Operation>(-1), L"S", L"N", L"V"), "processingFunc: unknown operation -1"},
    };
    for (const auto& c : cases) {
        SetUp();
        run(c.args);
        EXPECT_EQ(logMessages(), std::vector<std::string>{c.line});
        EXPECT_TRUE(memplat::callTargets("RegSetKeyValueW").empty()) << c.line;
        EXPECT_TRUE(memplat::callTargets("RegDeleteKeyValueW").empty()) << c.line;
        TearDown();
    }
}

TEST_F(ProcessingFunc, SetStoresTerminatedStringCreatingTheSubkeyPath) {
    const std::wstring texts[] = {L"", L"x", L"Caf\x00e9 \x4e2d"};
    for (const std::wstring& text : texts) {
        SetUp();
        run(argsOf(Operation::setValue, L"Software\\New\\Deeper", L"Name", text));
        EXPECT_TRUE(logMessages().empty());
        const auto value = memplat::getHiveValue(hive, L"Software\\New\\Deeper", L"Name");
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
        ASSERT_EQ(value->data.size(), (text.size() + 1) * sizeof(wchar_t));
        std::wstring stored(text.size() + 1, L'?');
        std::memcpy(stored.data(), value->data.data(), value->data.size());
        EXPECT_EQ(stored, text + L'\0');
        TearDown();
    }
}

// From the command line to the type and bytes stored: the parser, the check
// the run makes before anything else, and the operation.
TEST_F(ProcessingFunc, VtypeFromTheCommandLineToTheStoredTypeAndBytes) {
    using Bytes = std::vector<std::uint8_t>;
    auto text = [](const std::wstring& t) {  // as the API takes text: wchar_t, with a null
        const auto* at = reinterpret_cast<const std::uint8_t*>(t.c_str());
        return Bytes(at, at + (t.size() + 1) * sizeof(wchar_t));
    };
    const std::string dword = "Invalid data for REG_DWORD: '", types =
        "' (expected REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD or REG_BINARY)";
    const struct {
        const wchar_t* switches;  // after /set /k Software\T /vn V
        DWORD type;
        Bytes bytes;
        std::vector<std::string> lines;  // logged instead of storing
    } cases[] = {
        {L"/vstr 12", REG_SZ, text(L"12"), {}},
        {L"/VTYPE reg_dword /vstr 4294967295", REG_DWORD, {0xff, 0xff, 0xff, 0xff}, {}},
        {L"/vtype REG_DWORD /vstr 0X0001f", REG_DWORD, {0x1f, 0, 0, 0}, {}},
        {L"/vtype REG_DWORD /vstr 4294967296", 0, {}, {dword + "4294967296' (out of range: at most 4294967295)"}},
        {L"/vtype REG_DWORD /vstr 99999999999x", 0, {},
         {dword + "99999999999x' (expected a decimal number or 0x and hexadecimal digits)"}},
        {L"/vtype REG_DWORD /vstr 0x", 0, {}, {dword + "0x' (expected a decimal number or 0x and hexadecimal digits)"}},
        {L"/vtype REG_DWORD /vstr -1", 0, {}, {dword + "-1' (expected a decimal number or 0x and hexadecimal digits)"}},
        {L"/vtype REG_QWORD /vstr 18446744073709551615", REG_QWORD, Bytes(8, 0xff), {}},
        {L"/vtype REG_QWORD /vstr 0x0102030405060708", REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}, {}},
        {L"/vtype REG_QWORD /vstr 18446744073709551616", 0, {},
         {"Invalid data for REG_QWORD: '18446744073709551616' (out of range: at most 18446744073709551615)"}},
        {L"/vtype REG_EXPAND_SZ /vstr %SystemRoot%\\x", REG_EXPAND_SZ, text(L"%SystemRoot%\\x"), {}},
        {L"/vtype REG_MULTI_SZ /vstr a\\0bc\\0d", REG_MULTI_SZ, text(std::wstring(L"a\0bc\0d\0", 7)), {}},
        {L"/vtype REG_MULTI_SZ /vstr \"\"", REG_MULTI_SZ, text(L""), {}},
        {L"/vtype REG_MULTI_SZ /vstr a\\0\\0b", 0, {},
         {"Invalid data for REG_MULTI_SZ: 'a\\0\\0b' (an empty string in the list, where Windows would end it)"}},
        {L"/vtype REG_MULTI_SZ /vstr a\\0", 0, {},
         {"Invalid data for REG_MULTI_SZ: 'a\\0' (an empty string in the list, where Windows would end it)"}},
        {L"/vtype REG_BINARY /vstr 00fF10", REG_BINARY, {0, 0xff, 0x10}, {}},
        {L"/vtype REG_BINARY /vstr \"\"", REG_BINARY, {}, {}},
        {L"/vtype REG_BINARY /vstr abc", 0, {},
         {"Invalid data for REG_BINARY: 'abc' (an odd number of hexadecimal digits: two make one byte)"}},
        {L"/vtype REG_BINARY /vstr 0x00", 0, {},
         {"Invalid data for REG_BINARY: '0x00' (expected hexadecimal digits, two per byte, without separators)"}},
        {L"/vtype REG_WORD /vstr 1", 0, {}, {"Unknown value type 'REG_WORD" + types}},
        {L"/vstr 1 /vtype", 0, {}, {"Missing value for switch /vtype", "Unknown value type '" + types}},
    };
    for (const auto& c : cases) {
        SetUp();
        const std::wstring commandLine = std::wstring(L"/set /k Software\\T /vn V ") + c.switches;
        const CommandLineArgs args = parseCommandLine(commandLine.c_str());
        const bool checked = checkValueTypeAndData(args);
        EXPECT_EQ(checked, c.lines.empty()) << narrow(c.switches);
        EXPECT_EQ(logMessages(), c.lines) << narrow(c.switches);
        // The operation itself never stores what the check refuses.
        run(args);
        const auto value = memplat::getHiveValue(hive, L"Software\\T", L"V");
        EXPECT_EQ(value.has_value(), checked) << narrow(c.switches);
        if (value.has_value()) {
            EXPECT_EQ(value->type, c.type) << narrow(c.switches);
            EXPECT_EQ(value->data, c.bytes) << narrow(c.switches);
        } else {
            EXPECT_EQ(logMessages().back(), "processingFunc: " + c.lines.back()) << narrow(c.switches);
        }
        TearDown();
    }
}

TEST_F(ProcessingFunc, DeleteRemovesTheValueAndIgnoresValueSZ) {
    run(argsOf(Operation::deleteValue, L"Software\\Existing", L"keep", L"ignored"));
    EXPECT_TRUE(logMessages().empty());
    EXPECT_FALSE(memplat::getHiveValue(hive, L"Software\\Existing", L"Keep").has_value());
}

TEST_F(ProcessingFunc, DeleteKeyTakesTheTreeWithoutAValueNameAndAnAbsentKeyIsNoFailure) {
    memplat::setHiveString(hive, L"Software\\Existing\\Deeper", L"V", L"x");
    run(argsOf(Operation::deleteKey, L"software\\existing", std::nullopt, std::nullopt));
    run(argsOf(Operation::deleteKey, L"Software\\Existing", std::nullopt, std::nullopt));
    EXPECT_TRUE(logMessages().empty());
    EXPECT_FALSE(memplat::keyExists(HKEY_USERS, L"S-1-5-21-1\\Software\\Existing"));
    EXPECT_TRUE(memplat::keyExists(HKEY_USERS, L"S-1-5-21-1\\Software"));
}

TEST_F(ProcessingFunc, FailedCallsAreLoggedWithTheirStatus) {
    const struct {
        CommandLineArgs args;
        std::string fault;
        const char* line;
    } cases[] = {
        {argsOf(Operation::deleteValue, L"Software\\Existing", L"Absent", std::nullopt), "",
         "processingFunc: RegDeleteKeyValueW() failed, error = 2"},
        {argsOf(Operation::deleteValue, L"Software\\Absent", L"Keep", std::nullopt), "",
         "processingFunc: RegDeleteKeyValueW() failed, error = 2"},
        {argsOf(Operation::setValue, L"Software\\Existing", L"Keep", L"new"), "RegSetKeyValueW",
         "processingFunc: RegSetKeyValueW() failed, error = 5"},
        {argsOf(Operation::deleteValue, L"Software\\Existing", L"Keep", std::nullopt), "RegDeleteKeyValueW",
         "processingFunc: RegDeleteKeyValueW() failed, error = 5"},
        {argsOf(Operation::deleteKey, L"Software\\Existing", std::nullopt, std::nullopt), "RegDeleteTreeW",
         "processingFunc: RegDeleteTreeW() failed, error = 5"},
    };
    for (const auto& c : cases) {
        SetUp();
        if (!c.fault.empty()) {
            memplat::failCall(c.fault, ERROR_ACCESS_DENIED);
        }
        run(c.args);
        EXPECT_EQ(logMessages(), std::vector<std::string>{c.line});
        TearDown();
    }
}

}  // namespace
