#pragma once

#include "platform/winapi.h"

// LookupPrivilegeValueW over Windows' own privilege names and numbers;
// unknown names fail with ERROR_NO_SUCH_PRIVILEGE, as on Windows.
BOOL lookupPrivilegeByName(LPCWSTR name, PLUID luid);
