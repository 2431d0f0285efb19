#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/winapi.h"

// Looks an environment variable up by name (names compare without regard to
// case); nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::wstring>(const std::wstring& name)>;

// ExpandEnvironmentStringsW over the given variables, with Windows' rules:
// the result counts the terminator; when it does not fit, the size needed is
// returned and ERROR_INSUFFICIENT_BUFFER set; an unknown %NAME% and a lone %
// are copied unchanged; a value is not expanded a second time.
DWORD expandEnvironmentText(LPCWSTR source, LPWSTR destination, DWORD size, const EnvironmentLookup& lookup);

// Case-insensitive comparison of ASCII letters, as Windows compares variable,
// key and value names in the common case.
bool equalsIgnoringAsciiCase(const std::wstring& a, const std::wstring& b);
