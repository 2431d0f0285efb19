// What tarnwick relies on in the registry operations, checked against every
// provider: Windows' own registry (under Wine), the in-memory registry of the
// unit tests and the offline registry over hive files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "registry_fixture.h"

namespace {

const wchar_t* const machineBase = L"Software\\TarnwickContract";

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out += (c >= 32 && c < 127) ? static_cast<char>(c) : '?';
    }
    return out;
}

bool setRestorePrivilege(bool enable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return false;
    }
    LUID luid{};
    bool ok = LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &luid) != FALSE;
    if (ok) {
        TOKEN_PRIVILEGES p{};
        p.PrivilegeCount = 1;
        p.Privileges[0].Luid = luid;
        p.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
        ok = AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr) != FALSE && GetLastError() == 0;
    }
    CloseHandle(token);
    return ok;
}

// Reads a string value the way the profile walk does.
LONG readString(HKEY key, const wchar_t* subKey, const wchar_t* name, std::wstring& text,
                DWORD flags = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND) {
    wchar_t buffer[2600] = {};
    DWORD size = sizeof(buffer);
    const LONG status = RegGetValueW(key, subKey, name, flags, nullptr, buffer, &size);
    if (status == ERROR_SUCCESS) {
        text = buffer;
    }
    return status;
}

LONG setString(HKEY key, const wchar_t* subKey, const wchar_t* name, const std::wstring& text) {
    return RegSetKeyValueW(key, subKey, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

class RegistryContract : public ::testing::Test {
protected:
    void SetUp() override {
        static int counter = 0;
        mount_ = L"tarnwick-contract-" + std::to_wstring(++counter);
    }
    void TearDown() override {
        // Leave nothing mounted for the next test, whatever this one did.
        RegUnLoadKeyW(HKEY_USERS, mount_.c_str());
    }

    // Lays the world out, then enables the restore privilege as the tool does.
    std::vector<std::wstring> prepare(const std::vector<ValueLayout>& machineValues, const std::vector<HiveLayout>& hives) {
        auto files = registryFixture().prepare(machineValues, hives);
        EXPECT_TRUE(setRestorePrivilege(true));
        return files;
    }
    std::vector<std::wstring> prepareHives(const std::vector<HiveLayout>& hives) { return prepare({}, hives); }
    HKEY openMount(REGSAM access = KEY_WRITE) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, mount_.c_str(), 0, access, &key), ERROR_SUCCESS);
        return key;
    }

    std::wstring mount_;
};

TEST_F(RegistryContract, LoadMountsTheHiveUnderItsNameAndUnloadRemovesIt) {
    const auto files = prepareHives({{{L"Software\\App"}, {{L"Software\\App", L"Name", REG_SZ, L"stored"}}}});
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, mount_.c_str(), 0, KEY_WRITE, &key), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    key = openMount();
    std::wstring text;
    EXPECT_EQ(readString(key, L"Software\\App", L"Name", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"stored");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount_.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, mount_.c_str(), 0, KEY_WRITE, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount_.c_str()), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryContract, LoadRefusals) {
    const auto files = prepareHives({{{L"Software"}, {}}, {{L"Software"}, {}}});

    // A missing hive file fails and is not created: an empty ntuser.dat would
    // break that user's profile.
    const std::wstring missing = registryFixture().missingFilePath();
    EXPECT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), missing.c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(registryFixture().fileExists(missing));

    ASSERT_TRUE(setRestorePrivilege(false));
    EXPECT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_PRIVILEGE_NOT_HELD);
    ASSERT_TRUE(setRestorePrivilege(true));

    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    EXPECT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[1].c_str()), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount_.c_str()), ERROR_SUCCESS);
}

TEST_F(RegistryContract, UnloadWaitsForTheRootKeyToBeClosed) {
    const auto files = prepareHives({{{L"Software\\App"}, {}}});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    HKEY root = openMount();
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount_.c_str()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount_.c_str()), ERROR_SUCCESS);
}

TEST_F(RegistryContract, SetCreatesTheSubkeyPathAndStoresTerminatedText) {
    const auto files = prepareHives({{{L"Software"}, {{L"Software", L"Typed", REG_DWORD, L"", 7}}}});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    HKEY root = openMount();

    const std::wstring texts[] = {L"", L"plain", L"Caf\x00e9 \x0416\x4e2d \U0001F600", std::wstring(2000, L'x')};
    for (const std::wstring& text : texts) {
        ASSERT_EQ(setString(root, L"Software\\New\\Deeper", L"Value", text), ERROR_SUCCESS);
        wchar_t buffer[2600] = {};
        DWORD size = sizeof(buffer);
        DWORD type = 0;
        ASSERT_EQ(RegGetValueW(root, L"Software\\New\\Deeper", L"value", RRF_RT_REG_SZ, &type, buffer, &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(std::wstring(buffer), text) << narrow(text);
        EXPECT_EQ(size, (text.size() + 1) * sizeof(wchar_t)) << narrow(text);
    }
    // A value of another type is replaced by the string.
    ASSERT_EQ(setString(root, L"Software", L"TYPED", L"now text"), ERROR_SUCCESS);
    std::wstring text;
    EXPECT_EQ(readString(root, L"Software", L"Typed", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"now text");
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

// Every type a set can store comes back with its type and bytes as given;
// each set replaces the value of another type that the one before left.
TEST_F(RegistryContract, SetStoresEveryTypeWithItsBytes) {
    const auto files = prepareHives({{{L"Software"}, {{L"Software", L"V", REG_SZ, L"text"}}}});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    HKEY root = openMount();
    using Bytes = std::vector<unsigned char>;
    auto text = [](const std::wstring& t) {
        const auto* at = reinterpret_cast<const unsigned char*>(t.data());
        return Bytes(at, at + t.size() * sizeof(wchar_t));
    };
    const std::pair<DWORD, Bytes> cases[] = {
        {REG_DWORD, {0x90, 0x1f, 0, 0}},
        {REG_QWORD, {8, 7, 6, 5, 4, 3, 2, 1}},
        {REG_BINARY, {0, 0xff, 0x10}},
        {REG_BINARY, {}},
        {REG_MULTI_SZ, text(std::wstring(L"a\0bc\0\0", 6))},
        {REG_MULTI_SZ, text(std::wstring(1, L'\0'))},
        {REG_EXPAND_SZ, text(std::wstring(L"%SystemRoot%\\x\0", 15))},
        {REG_BINARY, Bytes(3000, 0xab)},
    };
    for (const auto& [type, bytes] : cases) {
        SCOPED_TRACE("type " + std::to_string(type) + ", " + std::to_string(bytes.size()) + " bytes");
        ASSERT_EQ(RegSetKeyValueW(root, L"Software", L"V", type, bytes.data(), static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        Bytes read(4000);
        DWORD size = static_cast<DWORD>(read.size());
        DWORD stored = 0;
        ASSERT_EQ(RegGetValueW(root, L"Software", L"v", RRF_RT_ANY | RRF_NOEXPAND, &stored, read.data(), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(stored, type);
        read.resize(size);
        EXPECT_EQ(read, bytes);
    }
    // A type of an application's own, beyond the REG_ constants, is stored
    // and kept when a set rewrites the key's values; RegGetValueW reads no
    // type that has no RRF_RT_ flag, not even with RRF_RT_ANY.
    const unsigned char own[] = {1, 2, 3};
    ASSERT_EQ(RegSetKeyValueW(root, L"Software", L"Own", 0x003D0001, own, sizeof(own)), ERROR_SUCCESS);
    ASSERT_EQ(RegSetKeyValueW(root, L"Software", L"V", REG_BINARY, own, sizeof(own)), ERROR_SUCCESS);
    unsigned char read[16];
    DWORD size = sizeof(read);
    EXPECT_EQ(RegGetValueW(root, L"Software", L"Own", RRF_RT_ANY, nullptr, read, &size), ERROR_UNSUPPORTED_TYPE);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

TEST_F(RegistryContract, DeleteRemovesOnlyAnExistingValue) {
    const auto files = prepareHives({{{L"Software\\App"},
                                      {{L"Software\\App", L"Gone", REG_SZ, L"x"},
                                       {L"Software\\App", L"Kept", REG_SZ, L"y"}}}});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    HKEY root = openMount();

    EXPECT_EQ(RegDeleteKeyValueW(root, L"Software\\App", L"GONE"), ERROR_SUCCESS);
    std::wstring text;
    EXPECT_EQ(readString(root, L"Software\\App", L"Gone", text), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readString(root, L"Software\\App", L"Kept", text), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteKeyValueW(root, L"Software\\App", L"Gone"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyValueW(root, L"Software\\Absent", L"Kept"), ERROR_FILE_NOT_FOUND);
    // A delete never creates the path it was given.
    HKEY absent = nullptr;
    EXPECT_EQ(RegOpenKeyExW(root, L"Software\\Absent", 0, KEY_READ, &absent), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

// A subkey path that starts at a backslash is a path from no key at all:
// Windows refuses it, and nothing is read, written or created.
TEST_F(RegistryContract, ASubkeyStartingWithABackslashIsRefused) {
    const auto files = prepareHives({{{L"Software\\App"}, {{L"Software\\App", L"Kept", REG_SZ, L"y"}}}});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    HKEY root = openMount();

    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyExW(root, L"\\Software\\App", 0, KEY_READ, &opened), ERROR_BAD_PATHNAME);
    std::wstring text;
    EXPECT_EQ(readString(root, L"\\Software\\App", L"Kept", text), ERROR_BAD_PATHNAME);
    EXPECT_EQ(setString(root, L"\\Software\\New", L"Value", L"x"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegDeleteKeyValueW(root, L"\\Software\\App", L"Kept"), ERROR_BAD_PATHNAME);

    EXPECT_EQ(RegOpenKeyExW(root, L"Software\\New", 0, KEY_READ, &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(readString(root, L"Software\\App", L"Kept", text), ERROR_SUCCESS);
    // Only a leading backslash is refused; one at the end is not.
    EXPECT_EQ(readString(root, L"Software\\App\\", L"Kept", text), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

// The last-write times RegEnumKeyExW lists for the subkeys of a key.
std::map<std::wstring, std::uint64_t> subkeyTimes(HKEY key, const wchar_t* subKey) {
    std::map<std::wstring, std::uint64_t> times;
    HKEY parent = nullptr;
    if (RegOpenKeyExW(key, subKey, 0, KEY_READ, &parent) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot open " << narrow(subKey);
        return times;
    }
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        FILETIME time{};
        if (RegEnumKeyExW(parent, index, name, &length, nullptr, nullptr, nullptr, &time) != ERROR_SUCCESS) {
            break;
        }
        times[*subKey == L'\0' ? std::wstring(name) : std::wstring(subKey) + L"\\" + name] =
            static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
    }
    RegCloseKey(parent);
    return times;
}

TEST_F(RegistryContract, AChangeGivesTheKeysItChangedANewerLastWriteTimeAndNoOtherKey) {
    const auto files = prepareHives({{{L"Software\\App", L"Software\\Other"},
                                      {{L"Software\\App", L"Kept", REG_SZ, L"x"}}}});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    HKEY root = openMount(KEY_READ | KEY_WRITE);
    auto times = [&] {
        std::map<std::wstring, std::uint64_t> all;
        for (const auto& deeper : {L"", L"Software", L"Software\\App", L"Software\\App\\New"}) {
            HKEY probe = nullptr;
            if (RegOpenKeyExW(root, deeper, 0, KEY_READ, &probe) == ERROR_SUCCESS) {
                RegCloseKey(probe);
                const auto more = subkeyTimes(root, deeper);
                all.insert(more.begin(), more.end());
            }
        }
        return all;
    };
    // Each step comes well after the one before, so that a time it gives is
    // newer than every time before it.
    auto step = [&](const char* what, auto change, LONG status, std::vector<std::wstring> changed) {
        SCOPED_TRACE(what);
        const auto before = times();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        EXPECT_EQ(change(), status);
        const auto after = times();
        std::uint64_t newest = 0;
        for (const auto& [key, time] : before) {
            newest = std::max(newest, time);
        }
        for (const auto& [key, time] : after) {
            const bool stamped = std::find(changed.begin(), changed.end(), key) != changed.end();
            if (stamped) {
                EXPECT_GT(time, newest) << narrow(key) << " was not given the time of the change";
            } else {
                ASSERT_EQ(before.count(key), 1u) << narrow(key) << " appeared";
                EXPECT_EQ(time, before.at(key)) << narrow(key) << " changed its time";
            }
        }
    };
    step("a new value", [&] { return setString(root, L"Software\\App", L"Added", L"v"); }, ERROR_SUCCESS,
         {L"Software\\App"});
    step("keys made for a value", [&] { return setString(root, L"Software\\App\\New\\Deeper", L"V", L"v"); },
         ERROR_SUCCESS, {L"Software\\App", L"Software\\App\\New", L"Software\\App\\New\\Deeper"});
    step("a delete of a value that is not there",
         [&] { return RegDeleteKeyValueW(root, L"Software\\App\\New", L"Missing"); }, ERROR_FILE_NOT_FOUND, {});
    step("a value deleted", [&] { return RegDeleteKeyValueW(root, L"Software\\App", L"Kept"); }, ERROR_SUCCESS,
         {L"Software\\App"});
    step("a key created",
         [&] {
             HKEY made = nullptr;
             const LONG status = RegCreateKeyExW(root, L"Software\\App\\New\\Made", 0, nullptr, 0, KEY_WRITE,
                                                 nullptr, &made, nullptr);
             return status != ERROR_SUCCESS ? status : RegCloseKey(made);
         },
         ERROR_SUCCESS, {L"Software\\App\\New", L"Software\\App\\New\\Made"});
    step("a tree that is not there", [&] { return RegDeleteTreeW(root, L"Software\\App\\Absent"); },
         ERROR_FILE_NOT_FOUND, {});
    step("a key tree deleted", [&] { return RegDeleteTreeW(root, L"Software\\App\\New"); }, ERROR_SUCCESS,
         {L"Software\\App"});
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

// What a key deletion through RegDeleteTreeW takes, what it leaves, and how
// keys are created and values set and deleted through a handle, as a
// registry file's import does.
TEST_F(RegistryContract, KeysCreatedThroughHandlesAndDeletedWithTheirTrees) {
    const auto files = prepareHives({{{L"Software\\App\\A\\Deep\\Deeper", L"Software\\App\\B", L"Software\\Other"},
                                      {{L"Software\\App", L"Kept", REG_SZ, L"k"},
                                       {L"Software\\App\\A", L"Gone", REG_SZ, L"g"},
                                       {L"Software\\App\\A\\Deep", L"Gone", REG_DWORD, L"", 3},
                                       {L"Software\\App\\B", L"Stays", REG_SZ, L"s"}}}});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    HKEY root = openMount();
    auto exists = [&](const wchar_t* path) {
        HKEY key = nullptr;
        const LONG status = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
        if (status == ERROR_SUCCESS) {
            RegCloseKey(key);
        }
        return status == ERROR_SUCCESS;
    };

    // A key made through a handle, and values set and deleted through it.
    HKEY made = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(root, L"Software\\New\\Key", 0, nullptr, 0, KEY_WRITE, nullptr, &made, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const std::wstring text = L"v";
    EXPECT_EQ(RegSetValueExW(made, L"", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(made, L"Absent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(made), ERROR_SUCCESS);
    std::wstring read;
    EXPECT_EQ(readString(root, L"Software\\New\\Key", L"", read), ERROR_SUCCESS);
    EXPECT_EQ(read, text);
    ASSERT_EQ(RegCreateKeyExW(root, L"SOFTWARE\\new\\KEY", 0, nullptr, 0, KEY_WRITE, nullptr, &made, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(RegDeleteValueW(made, L""), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(made), ERROR_SUCCESS);
    EXPECT_EQ(readString(root, L"Software\\New\\Key", L"", read), ERROR_FILE_NOT_FOUND);

    // A key open below the tree that goes.
    HKEY inside = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root, L"Software\\App\\A\\Deep", 0, KEY_READ | KEY_WRITE, &inside), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(root, L"software\\app\\a"), ERROR_SUCCESS);
    EXPECT_FALSE(exists(L"Software\\App\\A"));
    EXPECT_FALSE(exists(L"Software\\App\\A\\Deep\\Deeper"));
    EXPECT_EQ(readString(root, L"Software\\App", L"Kept", read), ERROR_SUCCESS);
    EXPECT_EQ(readString(root, L"Software\\App\\B", L"Stays", read), ERROR_SUCCESS);
    EXPECT_TRUE(exists(L"Software\\Other"));
    EXPECT_EQ(RegSetValueExW(inside, L"x", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(inside), ERROR_SUCCESS);
    // What is not there is not found, and nothing is made on the way.
    EXPECT_EQ(RegDeleteTreeW(root, L"Software\\App\\A"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeW(root, L"Software\\Absent\\A"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(exists(L"Software\\Absent"));
    EXPECT_EQ(RegDeleteTreeW(root, L"\\Software\\App"), ERROR_BAD_PATHNAME);

    // Without a subkey what is below the key goes, and the key stays.
    HKEY app = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root, L"Software\\App", 0, KEY_READ | KEY_WRITE, &app), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeW(app, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(app), ERROR_SUCCESS);
    EXPECT_TRUE(exists(L"Software\\App"));
    EXPECT_FALSE(exists(L"Software\\App\\B"));
    EXPECT_EQ(readString(root, L"Software\\App", L"Kept", read), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

TEST_F(RegistryContract, ProfileListIsEnumeratedAndReadAsStored) {
    prepare(
        {
            {L"S-1-5-21-0-0-0-1001", L"ProfileImagePath", REG_EXPAND_SZ, L"%SystemDrive%\\Users\\b"},
            {L"S-1-5-18", L"ProfileImagePath", REG_SZ, L"C:\\Windows\\system32\\config\\systemprofile"},
            {L"S-1-5-21-0-0-0-1000", L"ProfileImagePath", REG_SZ, L"C:\\Users\\a"},
            {L"S-1-5-21-0-0-0-1000", L"Flags", REG_DWORD, L"", 12},
            {L"", L"Default", REG_EXPAND_SZ, L"%SystemDrive%\\Users\\Default"},
        },
        {});
    HKEY list = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, machineBase, 0, KEY_READ, &list), ERROR_SUCCESS);

    std::vector<std::wstring> names;
    wchar_t name[1024];
    DWORD index = 0;
    LONG status;
    for (;; ++index) {
        DWORD length = 1024;
        status = RegEnumKeyExW(list, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            break;
        }
        EXPECT_EQ(length, std::wstring(name).size());
        names.emplace_back(name);
    }
    EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
    const std::vector<std::wstring> expected = {L"S-1-5-18", L"S-1-5-21-0-0-0-1000", L"S-1-5-21-0-0-0-1001"};
    EXPECT_EQ(names, expected);
    DWORD tooShort = 8;
    EXPECT_EQ(RegEnumKeyExW(list, 1, name, &tooShort, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    std::wstring text;
    EXPECT_EQ(readString(list, L"S-1-5-21-0-0-0-1001", L"ProfileImagePath", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"%SystemDrive%\\Users\\b");
    EXPECT_EQ(readString(list, nullptr, L"Default", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"%SystemDrive%\\Users\\Default");
    EXPECT_NE(readString(list, L"S-1-5-21-0-0-0-1000", L"Flags", text), ERROR_SUCCESS);
    EXPECT_NE(readString(list, L"S-1-5-21-0-0-0-1000", L"Absent", text), ERROR_SUCCESS);
    EXPECT_NE(readString(list, L"S-1-5-21-0-0-0-9999", L"ProfileImagePath", text), ERROR_SUCCESS);
    // Only REG_EXPAND_SZ accepted: a REG_SZ value is refused.
    EXPECT_NE(readString(list, L"S-1-5-18", L"ProfileImagePath", text, RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND),
              ERROR_SUCCESS);

    // Too small a buffer: 234 and the size needed.
    wchar_t small[4];
    DWORD size = sizeof(small);
    EXPECT_EQ(RegGetValueW(list, L"S-1-5-21-0-0-0-1000", L"ProfileImagePath", RRF_RT_REG_SZ, nullptr, small, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, (std::wstring(L"C:\\Users\\a").size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(RegCloseKey(list), ERROR_SUCCESS);
}

// Where the in-memory and the offline registry once answered differently,
// Windows' own answer (under Wine) decides.
TEST_F(RegistryContract, TypeFlagsAndExpansionOfReads) {
    const std::wstring stored = L"%SystemDrive%\\Users\\x";
    const std::wstring multi(L"a\0bc\0", 5);
    prepare({{L"", L"Ex", REG_EXPAND_SZ, stored},
             {L"", L"Sz", REG_SZ, L"plain"},
             {L"", L"Dw", REG_DWORD, L"", 7},
             {L"", L"Multi", REG_MULTI_SZ, multi}},
            {});
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, machineBase, 0, KEY_READ, &key), ERROR_SUCCESS);
    struct Case {
        const wchar_t* value;
        DWORD flags;
        LONG status;
        DWORD type;
        std::wstring data;  // without the terminator that is added
    };
    const Case cases[] = {
        // Without RRF_NOEXPAND a REG_EXPAND_SZ is expanded and read as a REG_SZ.
        {L"Ex", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, L"C:\\Users\\x"},
        {L"Ex", RRF_RT_ANY, ERROR_SUCCESS, REG_SZ, L"C:\\Users\\x"},
        {L"Ex", RRF_RT_ANY | RRF_NOEXPAND, ERROR_SUCCESS, REG_EXPAND_SZ, stored},
        {L"Ex", RRF_RT_REG_SZ | RRF_NOEXPAND, ERROR_UNSUPPORTED_TYPE, 0, L""},
        // Asking for REG_EXPAND_SZ without RRF_NOEXPAND is an invalid request,
        // whatever the value's type.
        {L"Ex", RRF_RT_REG_EXPAND_SZ, ERROR_INVALID_PARAMETER, 0, L""},
        {L"Sz", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, ERROR_INVALID_PARAMETER, 0, L""},
        {L"Dw", RRF_RT_ANY, ERROR_SUCCESS, REG_DWORD, L""},
        {L"Dw", RRF_RT_REG_SZ, ERROR_UNSUPPORTED_TYPE, 0, L""},
        {L"Dw", 0, ERROR_UNSUPPORTED_TYPE, 0, L""},
        {L"Multi", RRF_RT_REG_MULTI_SZ, ERROR_SUCCESS, REG_MULTI_SZ, multi},
        {L"Multi", RRF_RT_ANY, ERROR_SUCCESS, REG_MULTI_SZ, multi},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.value) + " flags " + std::to_string(c.flags));
        wchar_t buffer[64] = {};
        DWORD size = sizeof(buffer);
        DWORD type = 0;
        EXPECT_EQ(RegGetValueW(key, nullptr, c.value, c.flags, &type, buffer, &size), c.status);
        if (c.status != ERROR_SUCCESS) {
            continue;
        }
        EXPECT_EQ(type, c.type);
        if (c.type == REG_DWORD) {
            EXPECT_EQ(size, sizeof(DWORD));
            DWORD number = 0;
            std::memcpy(&number, buffer, sizeof(number));
            EXPECT_EQ(number, 7u);
        } else {
            EXPECT_EQ(size, (c.data.size() + 1) * sizeof(wchar_t));
            EXPECT_EQ(std::wstring(buffer, size / sizeof(wchar_t) - 1), c.data);
        }
    }

    // RRF_ZEROONFAILURE clears the caller's buffer whatever the failure.
    for (const auto& c : {std::make_pair(L"Sz", ERROR_MORE_DATA), std::make_pair(L"Dw", ERROR_UNSUPPORTED_TYPE)}) {
        wchar_t buffer[2] = {L'x', L'x'};
        DWORD size = sizeof(buffer);
        EXPECT_EQ(RegGetValueW(key, nullptr, c.first, RRF_RT_REG_SZ | RRF_ZEROONFAILURE, nullptr, buffer, &size),
                  c.second);
        EXPECT_EQ(buffer[0], L'\0');
        EXPECT_EQ(buffer[1], L'\0');
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryContract, NamesCompareWithoutRegardToCaseBeyondAscii) {
    const wchar_t* const path = L"Software\\\x00c4pfel\\\x0416\x0443\x043a\\\x03b1\x03b2";
    const auto files = prepareHives({{{path}, {{path, L"\x00c4rger", REG_SZ, L"found"}}}});
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount_.c_str(), files[0].c_str()), ERROR_SUCCESS);
    HKEY root = openMount();
    // Latin-1, Cyrillic and Greek letters in the other case.
    const wchar_t* const otherCase = L"SOFTWARE\\\x00e4PFEL\\\x0436\x0423\x041a\\\x0391\x0392";
    std::wstring text;
    EXPECT_EQ(readString(root, otherCase, L"\x00e4RGER", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"found");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(root, otherCase, 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    // The same value in another case is replaced, not added beside it.
    EXPECT_EQ(setString(root, otherCase, L"\x00e4RGER", L"second"), ERROR_SUCCESS);
    EXPECT_EQ(readString(root, path, L"\x00c4rger", text), ERROR_SUCCESS);
    EXPECT_EQ(text, L"second");
    EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
}

TEST_F(RegistryContract, HandlesAndTheirAccess) {
    prepare({{L"Sub", L"Name", REG_SZ, L"x"}}, {});
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, machineBase, 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(0x12345), L"Sub", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    // Runs of backslashes and one at the end name the same key.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\\\TarnwickContract\\", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    // A key opened for reading is not written through, unless a subkey is named.
    EXPECT_EQ(RegDeleteKeyValueW(key, nullptr, L"Absent"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(setString(key, nullptr, L"New", L"x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    // A key opened for writing is neither read nor listed through.
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, machineBase, 0, KEY_WRITE, &key), ERROR_SUCCESS);
    std::wstring text;
    EXPECT_EQ(readString(key, nullptr, L"Name", text), ERROR_ACCESS_DENIED);
    wchar_t name[64];
    DWORD length = 64;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

}  // namespace
