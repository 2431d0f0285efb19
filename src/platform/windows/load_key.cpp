// The one registry operation that tarnwick does not take from advapi32 as it
// is: loading a hive must never create the hive file.
#include "platform/winapi.h"

#undef RegLoadKeyW

LONG WINAPI tarnwickRegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile) {
    if (lpFile != nullptr && GetFileAttributesW(lpFile) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        // A missing file or folder is reported as Windows reports it for an
        // open; other reasons (a locked or unreadable file) are left to the
        // load itself, which does not create anything in those cases.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return static_cast<LONG>(error);
        }
    }
    return RegLoadKeyW(hKey, lpSubKey, lpFile);
}
