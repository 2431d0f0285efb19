#include "hives/profiles.h"

#include <utility>

#include "hives/hive_access.h"
#include "hives/privileges.h"
#include "log/log.h"

namespace {

const wchar_t* const profileListPath = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const wchar_t* const defaultProfileMountName = L"tarnwick-default-profile";
constexpr DWORD shortestFullSidLength = 10;
constexpr DWORD sidNameChars = 1024;
constexpr DWORD storedValueChars = 2600;
constexpr DWORD expandedValueChars = 5200;

}  // namespace

bool readStringOrExpandStringValue(HKEY key, const wchar_t* subKeyName, const wchar_t* valueName,
                                   std::wstring& output) {
    // 2600 characters on every platform; the byte count follows sizeof(wchar_t).
    wchar_t stored[storedValueChars] = {};
    DWORD storedSize = sizeof(stored);
    const LONG status = RegGetValueW(key, subKeyName, valueName, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                                     nullptr, stored, &storedSize);
    if (status != ERROR_SUCCESS) {
        logLine() << L"readStringOrExpandStringValue: RegGetValueW() failed for subkey '"
                  << (subKeyName != nullptr ? subKeyName : L"") << L"' and value '" << valueName << L"', error = "
                  << status << L"\n";
        return false;
    }
    // A REG_SZ buffer filled to the brim may lack its terminator.
    stored[sizeof(stored) / sizeof(wchar_t) - 1] = L'\0';

    wchar_t expanded[expandedValueChars] = {};
    const DWORD needed = ExpandEnvironmentStringsW(stored, expanded, expandedValueChars);
    if (needed == 0 || needed > expandedValueChars) {
        const DWORD error = GetLastError();
        logLine() << L"readStringOrExpandStringValue: ExpandEnvironmentStringsW() failed for string '" << stored
                  << L"', error = " << error << L"\n";
        return false;
    }
    output = expanded;
    return true;
}

bool enumAllUserRegHives(bool includeDefaultProfile, UserHive hive, HiveCallback callback) {
    return enumAllUserRegHives(includeDefaultProfile, std::vector<HiveWork>{{hive, std::move(callback)}});
}

bool enumAllUserRegHives(bool includeDefaultProfile, const std::vector<HiveWork>& work) {
    for (const HiveWork& item : work) {
        if (!item.callback) {
            logLine() << L"enumAllUserRegHives: callback not specified\n";
            return false;
        }
    }
    if (!enableNeededPrivileges()) {
        logLine() << L"enumAllUserRegHives: Failed to enable needed privileges\n";
        return false;
    }
    HKEY profileList = nullptr;
    const LONG openStatus = RegOpenKeyExW(HKEY_LOCAL_MACHINE, profileListPath, 0, KEY_READ, &profileList);
    if (openStatus != ERROR_SUCCESS) {
        logLine() << L"enumAllUserRegHives: RegOpenKeyExW() failed for HKEY_LOCAL_MACHINE\\" << profileListPath
                  << L", error = " << openStatus << L"\n";
        return false;
    }

    wchar_t sid[sidNameChars] = {};
    for (DWORD index = 0;; ++index) {
        DWORD sidLength = sidNameChars;
        const LONG status =
            RegEnumKeyExW(profileList, index, sid, &sidLength, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            if (status != ERROR_NO_MORE_ITEMS) {
                logLine() << L"enumAllUserRegHives: RegEnumKeyExW() failed for index " << index << L", error = "
                          << status << L"\n";
            }
            break;
        }
        if (sidLength < shortestFullSidLength) {
            logLine() << L"Skipping SID '" << sid << L"', not a full profile\n";
            continue;
        }
        std::wstring profileDirectory;
        if (!readStringOrExpandStringValue(profileList, sid, L"ProfileImagePath", profileDirectory)) {
            logLine() << L"enumAllUserRegHives: skipping SID '" << sid
                      << L"', failed to read the profile image path\n";
            continue;
        }
        for (const HiveWork& item : work) {
            maybeLoadUserHiveAndCallCallback(sid, profileDirectory.c_str(), item.hive, item.callback);
        }
    }

    if (includeDefaultProfile) {
        std::wstring defaultDirectory;
        if (readStringOrExpandStringValue(profileList, nullptr, L"Default", defaultDirectory)) {
            for (const HiveWork& item : work) {
                maybeLoadUserHiveAndCallCallback(defaultProfileMountName, defaultDirectory.c_str(), item.hive,
                                                 item.callback);
            }
        } else {
            logLine() << L"enumAllUserRegHives: could not read path to the default profile\n";
        }
    }

    const LONG closeStatus = RegCloseKey(profileList);
    if (closeStatus != ERROR_SUCCESS) {
        logLine() << L"enumAllUserRegHives: RegCloseKey() failed for the profile list key, error = " << closeStatus
                  << L"\n";
    }
    return true;
}
