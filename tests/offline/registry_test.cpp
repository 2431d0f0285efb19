// The offline registry on real hive files: what it writes must read back the
// same through hivex and through libregf, and what it refuses must leave the
// file as it was, byte for byte.
#include <hivex.h>

#include <cstring>
#include <functional>

#include "offline_test_support.h"
#include "unique_hive.h"
#include "platform/linux/utf.h"
#include "sample_volume.h"

namespace {

const wchar_t* const mount = L"S-1-5-21-1-2-3-1001";
const char* const hiveFile = "Users/alice/NTUSER.DAT";
const wchar_t* const hivePath = L"C:\\Users\\alice\\NTUSER.DAT";

LONG setText(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& text) {
    return RegSetKeyValueW(root, key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

class OfflineRegistryTest : public OfflineTest {
protected:
    // Loads the hive, runs the action on its root key, closes and unloads.
    LONG withLoadedHive(const std::function<LONG(HKEY)>& action) {
        EXPECT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
        HKEY root = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, mount, 0, KEY_WRITE, &root), ERROR_SUCCESS);
        const LONG status = action(root);
        EXPECT_EQ(RegCloseKey(root), ERROR_SUCCESS);
        EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
        return status;
    }
};

TEST_F(OfflineRegistryTest, SetAndDeleteRoundTripsThroughHivexAndLibregf) {
    makeHive(hiveFile);
    const std::string texts[] = {"plain", "", "Café Ärger ß", "Кириллица и 中文", "emoji \xF0\x9F\x98\x80 outside the BMP",
                                 std::string(3000, 'w')};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 40));
        EXPECT_EQ(withLoadedHive([&](HKEY root) { return setText(root, L"Software\\Tarnwick\\Nested", L"Greeting", wideFromUtf8(text)); }),
                  ERROR_SUCCESS);
        EXPECT_EQ(hivexString(host(hiveFile), "Software\\Tarnwick\\Nested", "Greeting"), text);
        EXPECT_EQ(regfexportString(host(hiveFile), "Software\\Tarnwick\\Nested", "Greeting"), text);
        // The other values of the hive are untouched.
        EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "Owner"), "someone");
    }
    EXPECT_EQ(withLoadedHive([](HKEY root) { return RegDeleteKeyValueW(root, L"software\\TARNWICK\\nested", L"GREETING"); }),
              ERROR_SUCCESS);
    EXPECT_EQ(hivexString(host(hiveFile), "Software\\Tarnwick\\Nested", "Greeting"), std::nullopt);
    EXPECT_EQ(regfexportString(host(hiveFile), "Software\\Tarnwick\\Nested", "Greeting"), std::nullopt);
    EXPECT_EQ(regfexportString(host(hiveFile), "Software\\App", "Owner"), "someone");
    EXPECT_TRUE(temporaryFiles("Users/alice").empty());
}

TEST_F(OfflineRegistryTest, StoredStringIsUtf16WithTerminatorAndReadsBackInWideBytes) {
    makeHive(hiveFile);
    const std::wstring text = L"Zo\x00eb \U0001F600";
    ASSERT_EQ(withLoadedHive([&](HKEY root) { return setText(root, L"Software\\App", L"Name", text); }), ERROR_SUCCESS);

    {
        const UniqueHive hive(hivex_open(host(hiveFile).c_str(), 0));
        hive_h* h = hive.get();
        ASSERT_NE(h, nullptr);
        const hive_node_h app = hivex_node_get_child(h, hivex_node_get_child(h, hivex_root(h), "Software"), "App");
        const hive_value_h value = hivex_node_get_value(h, app, "Name");
        hive_type type;
        size_t length = 0;
        const UniqueMalloc<char> data(hivex_value_value(h, value, &type, &length));
        ASSERT_TRUE(data);
        const std::string expected = utf16leFromWide(text) + std::string(2, '\0');
        EXPECT_EQ(type, hive_t_REG_SZ);
        EXPECT_EQ(std::string(data.get(), length), expected);
    }

    // At the API the size counts wchar_t, 4 bytes here: a surrogate pair in
    // the file is one character.
    withLoadedHive([&](HKEY root) {
        DWORD size = 0;
        EXPECT_EQ(RegGetValueW(root, L"Software\\App", L"name", RRF_RT_REG_SZ, nullptr, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(size, (text.size() + 1) * sizeof(wchar_t));
        return ERROR_SUCCESS;
    });
}

TEST_F(OfflineRegistryTest, NamesMatchWithoutRegardToCaseBeyondAscii) {
    makeHive(hiveFile);
    withLoadedHive([](HKEY root) {
        EXPECT_EQ(setText(root, L"Software\\App", L"\x00c4rger", L"first"), ERROR_SUCCESS);
        // The same value in other case: replaced, keeping its first spelling.
        EXPECT_EQ(setText(root, L"SOFTWARE\\app", L"\x00e4RGER", L"second"), ERROR_SUCCESS);
        return ERROR_SUCCESS;
    });
    const UniqueHive hive(hivex_open(host(hiveFile).c_str(), 0));
    hive_h* h = hive.get();
    ASSERT_NE(h, nullptr);
    const hive_node_h app = hivex_node_get_child(h, hivex_node_get_child(h, hivex_root(h), "Software"), "App");
    EXPECT_EQ(hivex_node_nr_values(h, app), 3u);
    EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "\xC3\x84rger"), "second");
}

TEST_F(OfflineRegistryTest, KeysAreFoundInAnyCaseAndOnlyByTheirWholeName) {
    makeHive(hiveFile);
    std::vector<sample::Entry> entries;
    for (int i = 0; i < 40; ++i) {
        entries.push_back(sample::key("Software\\Sibling" + std::to_string(i)));
    }
    for (const char* name : {"Ap", "Apple", "App", "\xC3\x84rger", "Arger2"}) {
        entries.push_back(sample::text(std::string("Software\\") + name, "Which", name));
    }
    std::string error;
    ASSERT_TRUE(sample::fillHive(host(hiveFile), entries, error)) << error;
    struct Case {
        const wchar_t* key;
        const wchar_t* which;  // nullptr: no such key
    };
    const Case cases[] = {
        {L"software\\APP", L"App"},
        {L"SOFTWARE\\apple", L"Apple"},
        {L"Software\\aP", L"Ap"},
        {L"Software\\Appl", nullptr},
        {L"Software\\Apples", nullptr},
        {L"Software\\A", nullptr},
        {L"Software\\\x00e4RGER", L"\x00c4rger"},
        // No other letter upper-cases to an ASCII one: "ARGER" is not "\x00c4rger".
        {L"Software\\ARGER", nullptr},
        {L"Software\\aRGER2", L"Arger2"},
    };
    withLoadedHive([&](HKEY root) {
        for (const Case& c : cases) {
            wchar_t buffer[64] = {};
            DWORD size = sizeof buffer;
            const LONG status = RegGetValueW(root, c.key, L"Which", RRF_RT_REG_SZ, nullptr, buffer, &size);
            if (c.which == nullptr) {
                EXPECT_EQ(status, ERROR_FILE_NOT_FOUND) << utf8FromWide(c.key);
            } else {
                EXPECT_EQ(status, ERROR_SUCCESS) << utf8FromWide(c.key);
                EXPECT_EQ(std::wstring(buffer), c.which) << utf8FromWide(c.key);
            }
        }
        return ERROR_SUCCESS;
    });
}

struct Refusal {
    const char* what;
    std::uint32_t minorVersion;
    std::function<void(const std::string& file)> arrange;  // with hivex, before the load
    std::function<LONG(HKEY root)> act;
    LONG expected;
};

TEST_F(OfflineRegistryTest, RefusalsLeaveTheFileByteIdentical) {
    const std::wstring tooLong(16346 / 2 - 1, L'x');  // 16,346 bytes as UTF-16 with its terminator
    const std::wstring justFits(16344 / 2 - 1, L'x');
    auto none = [](const std::string&) {};
    const Refusal cases[] = {
        {"delete of a missing value", 5, none,
         [](HKEY root) { return RegDeleteKeyValueW(root, L"Software\\App", L"Absent"); }, ERROR_FILE_NOT_FOUND},
        {"delete in a missing key", 5, none,
         [](HKEY root) { return RegDeleteKeyValueW(root, L"Software\\Absent", L"Owner"); }, ERROR_FILE_NOT_FOUND},
        {"key name over 255 characters", 5, none,
         [](HKEY root) { return setText(root, (L"Software\\" + std::wstring(256, L'k')).c_str(), L"V", L"x"); },
         ERROR_INVALID_PARAMETER},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.what);
        makeHive(hiveFile, c.minorVersion);
        c.arrange(host(hiveFile));
        const std::string before = fileBytes(host(hiveFile));
        EXPECT_EQ(withLoadedHive(c.act), c.expected);
        EXPECT_EQ(fileBytes(host(hiveFile)) == before, true) << "the hive file changed";
    }

    // What the hive library once refused is written as Windows writes it: a
    // value over 16,344 bytes as big data in a 1.5 hive (and in one cell in
    // a 1.3 hive), a change beside one, and a key whose name is not ASCII.
    makeHive(hiveFile, 3);
    EXPECT_EQ(withLoadedHive([&](HKEY root) { return setText(root, L"Software\\App", L"Long", tooLong); }), ERROR_SUCCESS);
    EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "Long"), std::string(tooLong.size(), 'x'));
    makeHive(hiveFile, 5);
    EXPECT_EQ(withLoadedHive([&](HKEY root) {
                  LONG status = setText(root, L"Software\\App", L"Long", tooLong);
                  if (status == ERROR_SUCCESS) {
                      status = setText(root, L"Software\\App", L"Fits", justFits);
                  }
                  return status != ERROR_SUCCESS ? status : setText(root, L"Software\\Zo\x00eb\\\x4e2d", L"V", L"x");
              }),
              ERROR_SUCCESS);
    EXPECT_EQ(regfexportString(host(hiveFile), "Software\\App", "Long"), std::string(tooLong.size(), 'x'));
    EXPECT_EQ(regfexportString(host(hiveFile), "Software\\App", "Fits"), std::string(justFits.size(), 'x'));
    EXPECT_EQ(regfexportString(host(hiveFile), "Software\\Zo\u00eb\\\u4e2d", "V"), "x");
}

TEST_F(OfflineRegistryTest, MachineSoftwareIsReadOnly) {
    std::string error;
    ASSERT_TRUE(sample::makeSampleVolume(drive_, error)) << error;
    const std::string software = host("Windows/System32/config/SOFTWARE");
    const std::string before = fileBytes(software);
    HKEY list = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"software\\microsoft\\windows nt\\currentversion\\profilelist", 0,
                            KEY_READ, &list),
              ERROR_SUCCESS);
    EXPECT_EQ(setText(list, L"S-1-5-18", L"ProfileImagePath", L"x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyValueW(list, nullptr, L"Default"), ERROR_ACCESS_DENIED);

    // REG_EXPAND_SZ comes back as stored with RRF_NOEXPAND, and expanded with
    // the volume's variables without it.
    wchar_t buffer[260];
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    ASSERT_EQ(RegGetValueW(list, nullptr, L"Default", RRF_RT_REG_SZ, &type, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(buffer), L"C:\\Users\\Default");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    size = sizeof(buffer);
    ASSERT_EQ(RegGetValueW(list, nullptr, L"Default", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, buffer, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(buffer), L"%SystemDrive%\\Users\\Default");
    EXPECT_EQ(RegCloseKey(list), ERROR_SUCCESS);
    EXPECT_EQ(fileBytes(software), before);
}

TEST_F(OfflineRegistryTest, UnloadWritesOnlyWhatChanged) {
    makeHive(hiveFile);
    const std::string before = fileBytes(host(hiveFile));
    // Reads and refused writes leave no change to write.
    withLoadedHive([](HKEY root) {
        wchar_t buffer[64];
        DWORD size = sizeof(buffer);
        EXPECT_EQ(RegGetValueW(root, L"Software\\App", L"Owner", RRF_RT_REG_SZ, nullptr, buffer, &size), ERROR_SUCCESS);
        return RegDeleteKeyValueW(root, L"Software\\App", L"Absent");
    });
    EXPECT_EQ(fileBytes(host(hiveFile)), before);

    // A name not loaded, a handle still open.
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, L"never-loaded"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegLoadKeyW(HKEY_USERS, mount, hivePath), ERROR_SUCCESS);
    HKEY app = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, (std::wstring(mount) + L"\\Software\\App").c_str(), 0, KEY_WRITE, &app),
              ERROR_SUCCESS);
    EXPECT_EQ(setText(app, nullptr, L"Owner", L"changed"), ERROR_SUCCESS);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_ACCESS_DENIED);
    EXPECT_EQ(fileBytes(host(hiveFile)), before);
    EXPECT_EQ(RegCloseKey(app), ERROR_SUCCESS);
    EXPECT_EQ(RegUnLoadKeyW(HKEY_USERS, mount), ERROR_SUCCESS);
    EXPECT_EQ(hivexString(host(hiveFile), "Software\\App", "Owner"), "changed");
}

}  // namespace

namespace {

std::uint32_t readU32(const std::string& bytes, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + at, sizeof(v));
    return v;
}

TEST_F(OfflineRegistryTest, BrokenSubkeyListIsABadHiveNotAMissingKey) {
    makeHive(hiveFile);
    // Spoil the signature of the root key's subkey list: the base block and
    // its checksum stay valid, so the hive loads, but its keys cannot be read.
    std::string bytes = fileBytes(host(hiveFile));
    const std::size_t root = 4096 + readU32(bytes, 36);
    ASSERT_EQ(bytes.substr(root + 4, 2), "nk");
    const std::size_t list = 4096 + readU32(bytes, root + 32);
    ASSERT_LT(list + 6, bytes.size());
    bytes[list + 4] = 'X';
    bytes[list + 5] = 'X';
    writeBytes(host(hiveFile), bytes);

    const LONG statuses[] = {
        withLoadedHive([](HKEY root) {
            HKEY key = nullptr;
            return RegOpenKeyExW(root, L"Software", 0, KEY_READ, &key);
        }),
        withLoadedHive([](HKEY root) { return RegDeleteKeyValueW(root, L"Software\\App", L"Owner"); }),
        withLoadedHive([](HKEY root) { return setText(root, L"Software\\App", L"Owner", L"x"); }),
    };
    for (LONG status : statuses) {
        EXPECT_EQ(status, ERROR_BADDB);
    }
    EXPECT_EQ(fileBytes(host(hiveFile)), bytes);
}

}  // namespace
