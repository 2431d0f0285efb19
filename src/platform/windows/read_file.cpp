// A registry file read whole through kernel32, shared with whoever else has it
// open: an administrator's editor, a deployment agent still copying it.
#include "ops/read_file.h"

DWORD readWholeFile(const std::wstring& path, std::vector<unsigned char>& bytes, const char*& failedCall) {
    bytes.clear();
    failedCall = "CreateFileW";
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD status = ERROR_SUCCESS;
    failedCall = "ReadFile";
    unsigned char buffer[64 * 1024];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer, sizeof(buffer), &read, nullptr)) {
            status = GetLastError();
            break;
        }
        if (read == 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + read);
    }
    CloseHandle(file);
    return status;
}
