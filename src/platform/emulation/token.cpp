// The process token of the Linux builds. Whoever runs the tool may do what
// the token's privileges allow on Windows: by default it holds the backup and
// restore privileges (those of an administrator), and as on Windows they
// start disabled, so RegLoadKeyW refuses until AdjustTokenPrivileges has
// enabled the restore privilege.
#include "platform/emulation/token.h"

#include <cstdint>
#include <set>

#include "platform/emulation/privilege_names.h"
#include "platform/emulation/provider.h"
#include "platform/winapi.h"

namespace {

struct TokenState {
    std::set<DWORD> held;
    std::set<DWORD> enabled;
    std::set<std::uintptr_t> openTokens;
    std::uintptr_t nextToken = 0x7100;
};

DWORD privilegeNumber(const wchar_t* name) {
    LUID luid{};
    return emulation::lookupPrivilegeByName(name, &luid) ? luid.LowPart : 0;
}

TokenState freshToken() {
    TokenState token;
    token.held = {privilegeNumber(L"SeBackupPrivilege"), privilegeNumber(L"SeRestorePrivilege")};
    return token;
}

TokenState& token() {
    static TokenState state = freshToken();
    return state;
}

bool held(const LUID& luid) { return luid.HighPart == 0 && token().held.count(luid.LowPart) != 0; }

BOOL failWith(LONG status) {
    SetLastError(static_cast<DWORD>(status));
    return FALSE;
}

}  // namespace

namespace emulation {

void resetToken() { token() = freshToken(); }

void setHeldPrivileges(const std::vector<std::wstring>& names) {
    token().held.clear();
    for (const std::wstring& name : names) {
        LUID luid{};
        if (lookupPrivilegeByName(name.c_str(), &luid)) {
            token().held.insert(luid.LowPart);
        }
    }
}

bool privilegeEnabled(const wchar_t* name) {
    LUID luid{};
    return lookupPrivilegeByName(name, &luid) && token().enabled.count(luid.LowPart) != 0;
}

int openTokenCount() { return static_cast<int>(token().openTokens.size()); }

}  // namespace emulation

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (auto fault = emulation::enter("OpenProcessToken", [&] { return std::to_wstring(DesiredAccess); })) {
        return failWith(*fault);
    }
    if (ProcessHandle != GetCurrentProcess() || TokenHandle == nullptr) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    TokenState& state = token();
    const std::uintptr_t value = state.nextToken;
    state.nextToken += 4;
    state.openTokens.insert(value);
    *TokenHandle = reinterpret_cast<HANDLE>(value);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR, LPCWSTR lpName, PLUID lpLuid) {
    if (auto fault = emulation::enter("LookupPrivilegeValueW", [&] { return std::wstring(lpName ? lpName : L""); })) {
        return failWith(*fault);
    }
    return emulation::lookupPrivilegeByName(lpName, lpLuid);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState, DWORD,
                                  PTOKEN_PRIVILEGES, LPDWORD) {
    auto target = [&] {
        const wchar_t* name = NewState != nullptr ? emulation::privilegeNameOf(NewState->Privileges[0].Luid) : nullptr;
        return std::wstring(name != nullptr ? name : L"");
    };
    if (auto fault = emulation::enter("AdjustTokenPrivileges", target)) {
        SetLastError(static_cast<DWORD>(*fault));
        // ERROR_NOT_ALL_ASSIGNED is how Windows reports a privilege the token
        // lacks: the call itself succeeds.
        return *fault == ERROR_NOT_ALL_ASSIGNED ? TRUE : FALSE;
    }
    TokenState& state = token();
    if (state.openTokens.count(reinterpret_cast<std::uintptr_t>(TokenHandle)) == 0) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    if (DisableAllPrivileges) {
        state.enabled.clear();
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (NewState == nullptr) {
        return failWith(ERROR_INVALID_PARAMETER);
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
    if (auto fault = emulation::enter("CloseHandle", [] { return std::wstring(L"token"); })) {
        return failWith(*fault);
    }
    if (token().openTokens.erase(reinterpret_cast<std::uintptr_t>(hObject)) == 0) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    return TRUE;
}
