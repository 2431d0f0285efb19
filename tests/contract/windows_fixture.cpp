// The contract's fixture over Windows' own registry (run under Wine): keys
// are written with the ordinary registry calls and hive files made with
// RegSaveKeyW, which is the format Windows (and Wine) can load.
#include <string>

#include "registry_fixture.h"

namespace {

void enable(const wchar_t* privilege) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return;
    }
    TOKEN_PRIVILEGES p{};
    p.PrivilegeCount = 1;
    p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, privilege, &p.Privileges[0].Luid)) {
        AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr);
    }
    CloseHandle(token);
}

void write(HKEY root, const std::wstring& base, const ValueLayout& v) {
    HKEY key = nullptr;
    const std::wstring path = v.key.empty() ? base : base + L"\\" + v.key;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != 0) {
        return;
    }
    if (v.type == REG_DWORD) {
        RegSetValueExW(key, v.name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.number), sizeof(DWORD));
    } else {
        RegSetValueExW(key, v.name.c_str(), 0, v.type, reinterpret_cast<const BYTE*>(v.text.c_str()),
                       static_cast<DWORD>((v.text.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

void createKey(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == 0) {
        RegCloseKey(key);
    }
}

class WindowsFixture : public RegistryFixture {
public:
    std::vector<std::wstring> prepare(const std::vector<ValueLayout>& machineValues,
                                      const std::vector<HiveLayout>& hives) override {
        const std::wstring base = L"Software\\TarnwickContract";
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, base.c_str());
        createKey(HKEY_LOCAL_MACHINE, base);
        for (const ValueLayout& v : machineValues) {
            write(HKEY_LOCAL_MACHINE, base, v);
        }
        enable(L"SeBackupPrivilege");
        std::vector<std::wstring> files;
        for (const HiveLayout& hive : hives) {
            const std::wstring source = L"Software\\TarnwickContractSource";
            RegDeleteTreeW(HKEY_CURRENT_USER, source.c_str());
            createKey(HKEY_CURRENT_USER, source);
            for (const std::wstring& key : hive.keys) {
                createKey(HKEY_CURRENT_USER, source + L"\\" + key);
            }
            for (const ValueLayout& v : hive.values) {
                write(HKEY_CURRENT_USER, source, v);
            }
            const std::wstring file = folder() + L"hive" + std::to_wstring(++fileCounter_) + L".dat";
            DeleteFileW(file.c_str());
            HKEY key = nullptr;
            RegOpenKeyExW(HKEY_CURRENT_USER, source.c_str(), 0, KEY_ALL_ACCESS, &key);
            RegSaveKeyW(key, file.c_str(), nullptr);
            RegCloseKey(key);
            RegDeleteTreeW(HKEY_CURRENT_USER, source.c_str());
            files.push_back(file);
        }
        return files;
    }
    std::wstring missingFilePath() override {
        const std::wstring path = folder() + L"missing.dat";
        DeleteFileW(path.c_str());
        return path;
    }
    bool fileExists(const std::wstring& path) override {
        return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    }

private:
    std::wstring folder() {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        const std::wstring path = std::wstring(temp) + L"tarnwick-contract\\";
        CreateDirectoryW(path.c_str(), nullptr);
        return path;
    }
    int fileCounter_ = 0;
};

}  // namespace

RegistryFixture& registryFixture() {
    static WindowsFixture fixture;
    return fixture;
}
