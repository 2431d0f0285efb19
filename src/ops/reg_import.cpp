#include "ops/reg_import.h"

#include "log/log.h"
#include "ops/read_file.h"

bool readRegistryFile(const std::wstring& path, RegFile& file) {
    std::vector<unsigned char> bytes;
    const char* failedCall = "";
    const DWORD error = readWholeFile(path, bytes, failedCall);
    if (error != ERROR_SUCCESS) {
        std::wostream& line = logLine();
        line << L"readRegistryFile: ";
        for (const char* c = failedCall; *c != '\0'; ++c) {
            line << static_cast<wchar_t>(*c);
        }
        line << L"() failed for " << QuotedPath{path} << L", error = " << error << L"\n";
        return false;
    }
    std::size_t errorLine = 0;
    std::wstring problem;
    if (!parseRegFile(bytes, file, errorLine, problem)) {
        std::wostream& line = logLine();
        line << L"readRegistryFile: " << QuotedPath{path};
        if (errorLine != 0) {
            line << L", line " << static_cast<DWORD>(errorLine);
        }
        line << L": " << problem << L"\n";
        return false;
    }
    logLine() << L"Registry file " << QuotedPath{path} << L": " << static_cast<DWORD>(file.keys) << L" keys, "
              << static_cast<DWORD>(file.values) << L" values, " << static_cast<DWORD>(file.deletions)
              << L" deletions\n";
    return true;
}

std::vector<UserHive> hivesOfRegistryFile(const RegFile& file) {
    bool profile = false;
    bool classes = false;
    for (const RegChange& change : file.changes) {
        (userHiveOfSubKey(change.keyPath) == UserHive::classes ? classes : profile) = true;
    }
    std::vector<UserHive> hives;
    if (profile || !classes) {
        hives.push_back(UserHive::profile);
    }
    if (classes) {
        hives.push_back(UserHive::classes);
    }
    return hives;
}

namespace {

void logFailure(const wchar_t* call, const RegChange& change, LONG status) {
    logLine() << L"importFunc: " << call << L"() failed for line " << static_cast<DWORD>(change.line)
              << L", error = " << status << L"\n";
}

void closeKey(HKEY& key) {
    if (key == nullptr) {
        return;
    }
    const LONG status = RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        logLine() << L"importFunc: RegCloseKey() failed, error = " << status << L"\n";
    }
    key = nullptr;
}

}  // namespace

void importFunc(const RegFile& file, UserHive hive, HKEY hiveRoot) {
    // The key of the section whose values are being set, opened once for all
    // of them, as regedit does.
    HKEY open = nullptr;
    for (const RegChange& change : file.changes) {
        if (userHiveOfSubKey(change.keyPath) != hive) {
            continue;
        }
        switch (change.kind) {
            case RegChangeKind::createKey: {
                closeKey(open);
                const std::wstring subKey = subKeyInUserHive(change.keyPath);
                const LONG status = RegCreateKeyExW(hiveRoot, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                    KEY_WRITE, nullptr, &open, nullptr);
                if (status != ERROR_SUCCESS) {
                    open = nullptr;
                    logFailure(L"RegCreateKeyExW", change, status);
                }
                break;
            }
            case RegChangeKind::setValue: {
                if (open == nullptr) {
                    break;
                }
                const LONG status = RegSetValueExW(open, change.valueName.c_str(), 0, change.type,
                                                   change.data.data(), static_cast<DWORD>(change.data.size()));
                if (status != ERROR_SUCCESS) {
                    logFailure(L"RegSetValueExW", change, status);
                }
                break;
            }
            case RegChangeKind::deleteValue: {
                if (open == nullptr) {
                    break;
                }
                const LONG status = RegDeleteValueW(open, change.valueName.c_str());
                if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                    logFailure(L"RegDeleteValueW", change, status);
                }
                break;
            }
            case RegChangeKind::deleteKey: {
                closeKey(open);
                const std::wstring subKey = subKeyInUserHive(change.keyPath);
                const LONG status = RegDeleteTreeW(hiveRoot, subKey.c_str());
                if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                    logFailure(L"RegDeleteTreeW", change, status);
                }
                break;
            }
        }
    }
    closeKey(open);
}
