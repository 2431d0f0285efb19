#include <cstring>

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

TEST_F(ProcessingFunc, DeleteRemovesTheValueAndIgnoresValueSZ) {
    run(argsOf(Operation::deleteValue, L"Software\\Existing", L"keep", L"ignored"));
    EXPECT_TRUE(logMessages().empty());
    EXPECT_FALSE(memplat::getHiveValue(hive, L"Software\\Existing", L"Keep").has_value());
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
