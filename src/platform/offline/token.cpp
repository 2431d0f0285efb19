// The process token of the offline platform. Whoever can write the volume's
// files may edit its hives, so the token holds the backup and restore
// privileges; as on Windows they start disabled, and RegLoadKeyW refuses
// until AdjustTokenPrivileges has enabled the restore privilege.
#include <cstdint>
#include <set>

#include "platform/offline/offline_platform.h"
#include "platform/emulation/privilege_names.h"
#include "platform/winapi.h"

namespace offline {
void resetVolumeNote();
}

namespace {

constexpr DWORD backupPrivilege = 17;
constexpr DWORD restorePrivilege = 18;

struct TokenState {
    std::set<DWORD> enabled;
    std::set<std::uintptr_t> openTokens;
    std::uintptr_t nextToken = 0x7100;
};

TokenState& token() {
    static TokenState state;
    return state;
}

bool held(const LUID& luid) {
    return luid.HighPart == 0 && (luid.LowPart == backupPrivilege || luid.LowPart == restorePrivilege);
}

}  // namespace

namespace offline {

bool restorePrivilegeEnabled() { return token().enabled.count(restorePrivilege) != 0; }

void resetPlatformState() {
    token() = TokenState{};
    resetVolumeNote();
}

}  // namespace offline

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD, PHANDLE TokenHandle) {
    if (ProcessHandle != GetCurrentProcess() || TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    TokenState& state = token();
    const std::uintptr_t value = state.nextToken;
    state.nextToken += 4;
    state.openTokens.insert(value);
    *TokenHandle = reinterpret_cast<HANDLE>(value);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR, LPCWSTR lpName, PLUID lpLuid) { return lookupPrivilegeByName(lpName, lpLuid); }

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState, DWORD,
                                  PTOKEN_PRIVILEGES, LPDWORD) {
    TokenState& state = token();
    if (state.openTokens.count(reinterpret_cast<std::uintptr_t>(TokenHandle)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DisableAllPrivileges) {
        state.enabled.clear();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (NewState == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Windows callers allocate room for PrivilegeCount entries past the
    // one the structure declares.
    const LUID_AND_ATTRIBUTES* entries = NewState->Privileges;
    bool allAssigned = true;
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
        if (!held(entries[i].Luid)) {
            allAssigned = false;
            continue;
        }
        if ((entries[i].Attributes & SE_PRIVILEGE_ENABLED) != 0) {
            state.enabled.insert(entries[i].Luid.LowPart);
        } else {
            state.enabled.erase(entries[i].Luid.LowPart);
        }
    }
    // A privilege the token lacks is not an error of the call: Windows
    // returns TRUE and leaves ERROR_NOT_ALL_ASSIGNED.
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (token().openTokens.erase(reinterpret_cast<std::uintptr_t>(hObject)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
