#include "hives/privileges.h"

#include "log/log.h"
#include "platform/winapi.h"

bool enablePrivilege(const wchar_t* privilegeName) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        const DWORD error = GetLastError();
        logLine() << L"enablePrivilege: OpenProcessToken() failed, error = " << error << L"\n";
        return false;
    }
    LUID luid{};
    if (!LookupPrivilegeValueW(nullptr, privilegeName, &luid)) {
        const DWORD error = GetLastError();
        logLine() << L"enablePrivilege: LookupPrivilegeValueW() failed for privilege '" << privilegeName
                  << L"', error = " << error << L"\n";
        CloseHandle(token);
        return false;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    // A token without the privilege still "succeeds" and leaves
    // ERROR_NOT_ALL_ASSIGNED behind, so the error is read before the close can
    // overwrite it.
    const DWORD error = GetLastError();
    CloseHandle(token);
    if (adjusted && error == ERROR_SUCCESS) {
        return true;
    }
    logLine() << L"enablePrivilege: AdjustTokenPrivileges() failed to adjust privilege '" << privilegeName
              << L"', error = " << error << L"\n";
    return false;
}

bool enableNeededPrivileges() {
    if (!enablePrivilege(L"SeRestorePrivilege")) {
        logLine() << L"enableNeededPrivileges: Failed to enable required privilege '" << L"SeRestorePrivilege"
                  << L"'\n";
        return false;
    }
    if (!enablePrivilege(L"SeBackupPrivilege")) {
        logLine() << L"enableNeededPrivileges: Failed to enable privilege '" << L"SeBackupPrivilege"
                  << L"', but registry updates may still succeed\n";
    }
    return true;
}
