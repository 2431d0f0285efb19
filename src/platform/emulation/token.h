// The process token of the Linux builds, for the providers and the registry:
// which privileges it holds and which are enabled.
#pragma once

#include <string>
#include <vector>

namespace emulation {

// Back to a fresh process: no token handle open, the token holding
// SeBackupPrivilege and SeRestorePrivilege, both disabled, as an
// administrator's token starts on Windows.
void resetToken();
// The privileges the token holds, by name; AdjustTokenPrivileges cannot
// enable any other.
void setHeldPrivileges(const std::vector<std::wstring>& names);
bool privilegeEnabled(const wchar_t* name);
// Open token handles, for checking that every one is closed.
int openTokenCount();

}  // namespace emulation
