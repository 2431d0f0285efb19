// Windows' privilege names and their numbers.
#pragma once

#include "platform/winapi.h"

namespace emulation {

// LookupPrivilegeValueW over Windows' own privilege names and numbers;
// unknown names fail with ERROR_NO_SUCH_PRIVILEGE, as on Windows.
BOOL lookupPrivilegeByName(LPCWSTR name, PLUID luid);
// The name of a privilege number; null for one Windows does not have.
const wchar_t* privilegeNameOf(const LUID& luid);

}  // namespace emulation
