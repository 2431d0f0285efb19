#include "hives/hive_access.h"

#include <utility>

#include "log/log.h"

LONG openLoadedKeyAndCallCallback(const wchar_t* mountName, HiveCallback callback) {
    HKEY hiveRoot = nullptr;
    const LONG status = RegOpenKeyExW(HKEY_USERS, mountName, 0, KEY_WRITE, &hiveRoot);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    logLine() << L"HKEY_USERS\\" << mountName << L": processing\n";
    callback(hiveRoot);
    const LONG closeStatus = RegCloseKey(hiveRoot);
    if (closeStatus != ERROR_SUCCESS) {
        logLine() << L"openLoadedKeyAndCallCallback: RegCloseKey() failed, error = " << closeStatus << L"\n";
    }
    return ERROR_SUCCESS;
}

std::wstring joinHiveFilePath(const std::wstring& profileDirectory, UserHive hive) {
    const wchar_t* const fileName = userHiveFileName(hive);
    if (profileDirectory.empty()) {
        return fileName;
    }
    const wchar_t last = profileDirectory.back();
    const bool bareDrive = profileDirectory.size() == 2 && profileDirectory[1] == L':' &&
                           ((profileDirectory[0] >= L'A' && profileDirectory[0] <= L'Z') ||
                            (profileDirectory[0] >= L'a' && profileDirectory[0] <= L'z'));
    if (last == L'\\' || last == L'/' || bareDrive) {
        return profileDirectory + fileName;
    }
    return profileDirectory + L'\\' + fileName;
}

void maybeLoadUserHiveAndCallCallback(const wchar_t* profileMountName, const wchar_t* profileDirectory,
                                      UserHive hive, HiveCallback callback) {
    const std::wstring hiveMountName = userHiveMountName(profileMountName, hive);
    const wchar_t* const mountName = hiveMountName.c_str();
    const LONG firstStatus = openLoadedKeyAndCallCallback(mountName, callback);
    if (firstStatus == ERROR_SUCCESS) {
        return;
    }
    if (firstStatus != ERROR_FILE_NOT_FOUND) {
        logLine() << L"maybeLoadUserHiveAndCallCallback: openLoadedKeyAndCallCallback() failed for HKEY_USERS\\"
                  << mountName << L" with an error different than 'not found', error = " << firstStatus << L"\n";
        return;
    }

    const std::wstring hiveFile = joinHiveFilePath(profileDirectory, hive);
    logLine() << L"HKEY_USERS\\" << mountName << L": loading " << QuotedPath{hiveFile} << L"\n";
    const LONG loadStatus = RegLoadKeyW(HKEY_USERS, mountName, hiveFile.c_str());
    if (loadStatus != ERROR_SUCCESS) {
        logLine() << L"maybeLoadUserHiveAndCallCallback: RegLoadKeyW() failed for HKEY_USERS\\" << mountName
                  << L", file path = '" << QuotedPath{hiveFile} << L"', error = " << loadStatus << L"\n";
        return;
    }

    const LONG afterLoadStatus = openLoadedKeyAndCallCallback(mountName, std::move(callback));
    if (afterLoadStatus != ERROR_SUCCESS) {
        logLine() << L"maybeLoadUserHiveAndCallCallback: openLoadedKeyAndCallCallback() failed for HKEY_USERS\\"
                  << mountName << L" after loading it, error = " << afterLoadStatus << L"\n";
    }

    logLine() << L"HKEY_USERS\\" << mountName << L": unloading\n";
    const LONG unloadStatus = RegUnLoadKeyW(HKEY_USERS, mountName);
    if (unloadStatus != ERROR_SUCCESS) {
        logLine() << L"maybeLoadUserHiveAndCallCallback: RegUnLoadKeyW() failed for HKEY_USERS\\" << mountName
                  << L", error = " << unloadStatus << L"\n";
    }
}
