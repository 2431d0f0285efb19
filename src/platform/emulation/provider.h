// What the provider linked into a Linux build supplies to the emulation of
// Windows' rules: the in-memory platform of the unit tests
// (src/platform/memory) or the offline volume (src/platform/offline). Each
// provider defines every function declared here; the emulation asks the
// provider for nothing else. The provider's archive holds the emulation's
// objects too, so the linker finds these whichever side it meets first.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace emulation {

class Hive;

// Call recording and fault injection. Every emulated call that can fail (the
// registry, token and environment calls) first reports its Windows name and
// its target: a full key path, a privilege name, the text to expand. A status
// returned makes the call fail with it, reported as that function reports
// failures. Only asked while callsObserved() is true.
bool callsObserved();
std::optional<LONG> enterCall(const char* function, const std::wstring& target);

// The time of a change, which the keys it changes get as their last-write
// time: UTC, in 100-nanosecond intervals since 1601, as Windows counts it.
FILETIME systemTime();

// The variables ExpandEnvironmentStringsW and RegGetValueW's expansion use;
// nullopt for a variable that is not set. Names compare as sameName does.
std::optional<std::wstring> environmentVariable(const std::wstring& name);

// The hive of a hive file, for RegLoadKeyW under the root (HKEY_USERS or
// HKEY_LOCAL_MACHINE), with RegLoadKeyW's statuses when it cannot be opened.
LONG openHiveFile(HKEY root, const std::wstring& path, std::shared_ptr<Hive>& out);

// The hives that HKEY_LOCAL_MACHINE holds without a load, listed by name; a
// provider may open them only when they are first entered.
std::vector<std::wstring> machineHiveNames();
LONG openMachineHive(const std::wstring& name, std::shared_ptr<Hive>& out);

// Reports the call to the provider when it observes calls; the target is only
// built then.
template <typename MakeTarget>
std::optional<LONG> enter(const char* function, MakeTarget&& target) {
    if (!callsObserved()) {
        return std::nullopt;
    }
    return enterCall(function, target());
}

}  // namespace emulation
