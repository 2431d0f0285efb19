// The last-write times that value changes give keys, by Windows' rule: the
// key that holds the value, each key created for it and the parent of the
// first one get the time of the change; nothing else does, and a call that
// fails changes nothing. Through the in-memory store, with a fixed clock.
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::wstring hive = L"C:\\Users\\a\\ntuser.dat";
const wchar_t* const mountName = L"S-1-5-21-1";
constexpr std::uint64_t before = 133485408000000000ULL;  // 2024-01-01, when the hive was laid out
constexpr std::uint64_t change = 134000000000000000ULL;  // the time of the call

const std::vector<std::wstring> laidOut = {L"", L"Software", L"Software\\App", L"Software\\Other"};

class LastWriteTimes : public TarnwickTest {
protected:
    void SetUp() override {
        TarnwickTest::SetUp();
        memplat::setClock(before);
        memplat::addHiveFile(hive);
        memplat::setHiveString(hive, L"Software\\App", L"Kept", L"old");
        memplat::createHiveKey(hive, L"Software\\Other");
        memplat::mountHive(mountName, hive);
        memplat::setClock(change);
    }

    // Every key's time: the keys laid out and those the call may have made.
    std::map<std::wstring, std::uint64_t> times(const std::vector<std::wstring>& made) const {
        std::map<std::wstring, std::uint64_t> found;
        std::vector<std::wstring> keys = laidOut;
        keys.insert(keys.end(), made.begin(), made.end());
        for (const std::wstring& key : keys) {
            if (const auto time = memplat::hiveKeyLastWrite(hive, key)) {
                found[key] = *time;
            }
        }
        return found;
    }
};

using Call = LONG (*)(HKEY root);

LONG setString(HKEY root, const wchar_t* subKey, const wchar_t* name) {
    const std::wstring text = L"new";
    return RegSetKeyValueW(root, subKey, name, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

TEST_F(LastWriteTimes, AChangeStampsTheKeysItChangedAndNothingElse) {
    const struct {
        const char* what;
        Call call;
        LONG status;
        std::vector<std::wstring> stamped;  // keys with the time of the change
        std::vector<std::wstring> made;     // keys the call creates
    } cases[] = {
        {"a new value in an existing key", [](HKEY r) { return setString(r, L"Software\\App", L"Added"); },
         ERROR_SUCCESS, {L"Software\\App"}, {}},
        {"a value replaced", [](HKEY r) { return setString(r, L"Software\\App", L"KEPT"); }, ERROR_SUCCESS,
         {L"Software\\App"}, {}},
        {"keys created for the value: they and the parent of the first",
         [](HKEY r) { return setString(r, L"Software\\App\\New\\Deeper", L"V"); }, ERROR_SUCCESS,
         {L"Software\\App", L"Software\\App\\New", L"Software\\App\\New\\Deeper"},
         {L"Software\\App\\New", L"Software\\App\\New\\Deeper"}},
        {"a key created below the hive's root", [](HKEY r) { return setString(r, L"Fresh", L"V"); }, ERROR_SUCCESS,
         {L"", L"Fresh"}, {L"Fresh"}},
        {"a value in the hive's root itself", [](HKEY r) { return setString(r, nullptr, L"AtRoot"); }, ERROR_SUCCESS,
         {L""}, {}},
        {"a value deleted", [](HKEY r) { return RegDeleteKeyValueW(r, L"Software\\App", L"kept"); }, ERROR_SUCCESS,
         {L"Software\\App"}, {}},
        {"a delete of a value that is not there",
         [](HKEY r) { return RegDeleteKeyValueW(r, L"Software\\App", L"Missing"); }, ERROR_FILE_NOT_FOUND, {}, {}},
        {"a delete in a key that is not there",
         [](HKEY r) { return RegDeleteKeyValueW(r, L"Software\\Absent", L"Kept"); }, ERROR_FILE_NOT_FOUND, {}, {}},
        {"a set refused before any change (value name too long)",
         [](HKEY r) { return setString(r, L"Software\\App\\New", std::wstring(16384, L'n').c_str()); },
         ERROR_INVALID_PARAMETER, {}, {L"Software\\App\\New"}},
        {"a set refused before any change (key name too long)",
         [](HKEY r) { return setString(r, (L"Software\\" + std::wstring(256, L'k')).c_str(), L"V"); },
         ERROR_INVALID_PARAMETER, {}, {}},
        {"a set with data but no buffer",
         [](HKEY r) { return RegSetKeyValueW(r, L"Software\\App", L"V", REG_SZ, nullptr, 4); },
         ERROR_INVALID_PARAMETER, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        HKEY root = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, mountName, 0, KEY_WRITE, &root), ERROR_SUCCESS);
        EXPECT_EQ(c.call(root), c.status);
        EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
        std::map<std::wstring, std::uint64_t> expected;
        for (const std::wstring& key : laidOut) {
            expected[key] = before;
        }
        for (const std::wstring& key : c.stamped) {
            expected[key] = change;
        }
        EXPECT_EQ(times(c.made), expected);
        TearDown();
    }
}

TEST_F(LastWriteTimes, ACallThatFailsOnEntryChangesNothing) {
    memplat::failCall("RegSetKeyValueW", ERROR_ACCESS_DENIED);
    HKEY root = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, mountName, 0, KEY_WRITE, &root), ERROR_SUCCESS);
    EXPECT_EQ(setString(root, L"Software\\App\\New", L"V"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
    EXPECT_EQ(times({L"Software\\App\\New"}),
              (std::map<std::wstring, std::uint64_t>{
                  {L"", before}, {L"Software", before}, {L"Software\\App", before}, {L"Software\\Other", before}}));
}

TEST_F(LastWriteTimes, RegEnumKeyExWListsTheTimesAChangeGave) {
    HKEY software = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, L"S-1-5-21-1\\Software", 0, KEY_READ | KEY_WRITE, &software), ERROR_SUCCESS);
    ASSERT_EQ(setString(software, L"Other", L"V"), ERROR_SUCCESS);
    std::map<std::wstring, std::uint64_t> listed;
    wchar_t name[64];
    for (DWORD i = 0;; ++i) {
        DWORD length = 64;
        FILETIME time{};
        const LONG status = RegEnumKeyExW(software, i, name, &length, nullptr, nullptr, nullptr, &time);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        listed[name] = static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    }
    EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
    EXPECT_EQ(listed, (std::map<std::wstring, std::uint64_t>{{L"App", before}, {L"Other", change}}));
}

}  // namespace
