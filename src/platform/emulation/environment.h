// ExpandEnvironmentStringsW with Windows' rules, over the environment that
// the provider supplies.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/winapi.h"

namespace emulation {

// Looks an environment variable up by name; nullopt when it is not set.
using EnvironmentLookup = std::function<std::optional<std::wstring>(const std::wstring& name)>;

// The text with every %NAME% of a set variable replaced by its value. An
// unknown %NAME% and a lone % are copied unchanged, and a value is not
// expanded a second time.
std::wstring expandedText(const std::wstring& source, const EnvironmentLookup& lookup);

// ExpandEnvironmentStringsW's buffer rules around expandedText: the result
// counts the terminator; when it does not fit, the size needed is returned
// and ERROR_INSUFFICIENT_BUFFER set.
DWORD expandEnvironmentText(LPCWSTR source, LPWSTR destination, DWORD size, const EnvironmentLookup& lookup);

}  // namespace emulation
