#include "platform/emulation/privilege_names.h"

#include "platform/emulation/names.h"

namespace emulation {

namespace {

struct KnownPrivilege {
    const wchar_t* name;
    DWORD value;
};

// The well-known privilege numbers of Windows (SE_*_PRIVILEGE).
const KnownPrivilege knownPrivileges[] = {
    {L"SeCreateTokenPrivilege", 2},      {L"SeAssignPrimaryTokenPrivilege", 3},
    {L"SeLockMemoryPrivilege", 4},       {L"SeIncreaseQuotaPrivilege", 5},
    {L"SeMachineAccountPrivilege", 6},   {L"SeTcbPrivilege", 7},
    {L"SeSecurityPrivilege", 8},         {L"SeTakeOwnershipPrivilege", 9},
    {L"SeLoadDriverPrivilege", 10},      {L"SeSystemProfilePrivilege", 11},
    {L"SeSystemtimePrivilege", 12},      {L"SeProfileSingleProcessPrivilege", 13},
    {L"SeIncreaseBasePriorityPrivilege", 14}, {L"SeCreatePagefilePrivilege", 15},
    {L"SeCreatePermanentPrivilege", 16}, {L"SeBackupPrivilege", 17},
    {L"SeRestorePrivilege", 18},         {L"SeShutdownPrivilege", 19},
    {L"SeDebugPrivilege", 20},           {L"SeAuditPrivilege", 21},
    {L"SeSystemEnvironmentPrivilege", 22}, {L"SeChangeNotifyPrivilege", 23},
    {L"SeRemoteShutdownPrivilege", 24},  {L"SeUndockPrivilege", 25},
    {L"SeSyncAgentPrivilege", 26},       {L"SeEnableDelegationPrivilege", 27},
    {L"SeManageVolumePrivilege", 28},    {L"SeImpersonatePrivilege", 29},
    {L"SeCreateGlobalPrivilege", 30},    {L"SeTrustedCredManAccessPrivilege", 31},
    {L"SeRelabelPrivilege", 32},         {L"SeIncreaseWorkingSetPrivilege", 33},
    {L"SeTimeZonePrivilege", 34},        {L"SeCreateSymbolicLinkPrivilege", 35},
    {L"SeDelegateSessionUserImpersonatePrivilege", 36},
};

}  // namespace

BOOL lookupPrivilegeByName(LPCWSTR name, PLUID luid) {
    if (name == nullptr || luid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (const KnownPrivilege& p : knownPrivileges) {
        if (sameName(name, p.name)) {
            luid->LowPart = p.value;
            luid->HighPart = 0;
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
}

const wchar_t* privilegeNameOf(const LUID& luid) {
    for (const KnownPrivilege& p : knownPrivileges) {
        if (luid.HighPart == 0 && luid.LowPart == p.value) {
            return p.name;
        }
    }
    return nullptr;
}

}  // namespace emulation
