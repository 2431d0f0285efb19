// The in-memory platform of the unit tests: Windows' rules (those of
// src/platform/emulation, as in the Linux tool) over a registry with
// HKEY_LOCAL_MACHINE and HKEY_USERS kept in memory, hive files that
// RegLoadKeyW can mount, a process token with a chosen set of privileges and
// an environment. Any registry, token or environment call can be made to fail
// with a chosen status, and every such call is recorded in order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace memplat {

// Back to the start state: empty registry roots, no hive files, a token that
// holds both backup and restore privileges (disabled), SystemDrive = C: and
// SystemRoot = C:\Windows, the system's clock, no faults, no recorded calls.
void reset();

// Fixes the clock that gives keys their last-write times (a FILETIME as one
// number: 100-nanosecond intervals since 1601, UTC) until the next reset.
void setClock(std::uint64_t fileTime);

struct Value {
    DWORD type = REG_NONE;
    std::vector<std::uint8_t> data;
};

// Registry content, by root and backslash-separated path. The first key name
// below the root is a hive, made when it is missing.
void createKey(HKEY root, const std::wstring& path);
void setValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
              const std::vector<std::uint8_t>& data);
void setString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text,
               DWORD type = REG_SZ);
std::optional<Value> getValue(HKEY root, const std::wstring& path, const std::wstring& name);
std::optional<std::wstring> getString(HKEY root, const std::wstring& path, const std::wstring& name);
bool keyExists(HKEY root, const std::wstring& path);

// Hive files. A new hive file has an empty root key.
void addHiveFile(const std::wstring& filePath);
void createHiveKey(const std::wstring& filePath, const std::wstring& keyPath);
void setHiveString(const std::wstring& filePath, const std::wstring& keyPath, const std::wstring& name,
                   const std::wstring& text);
void setHiveValue(const std::wstring& filePath, const std::wstring& keyPath, const std::wstring& name, DWORD type,
                  const std::vector<std::uint8_t>& data);
bool hiveFileExists(const std::wstring& filePath);
// The last-write time of a key in a hive file ("" is its root), as one number
// like setClock's; nullopt when the file or the key is missing.
std::optional<std::uint64_t> hiveKeyLastWrite(const std::wstring& filePath, const std::wstring& keyPath);
std::optional<Value> getHiveValue(const std::wstring& filePath, const std::wstring& keyPath,
                                  const std::wstring& name);
// Mounts a hive file as another process would (a logged-on user's hive).
void mountHive(const std::wstring& mountName, const std::wstring& filePath);
bool isMounted(const std::wstring& mountName);

// Token and environment.
void setHeldPrivileges(const std::vector<std::wstring>& names);
bool privilegeEnabled(const std::wstring& name);
void setEnvironment(const std::wstring& name, const std::wstring& value);

// Makes a call fail. function is the Windows name ("RegEnumKeyExW");
// target, when given, must equal the call's recorded target; occurrence
// counts the matching calls from 1 (0 = every matching call). Registry calls
// return the status; BOOL calls return FALSE with the status as last error;
// ExpandEnvironmentStringsW returns 0 with it as last error.
void failCall(const std::string& function, LONG status, int occurrence = 0, const std::wstring& target = L"");

// Every call as "Function target", in order. Targets: full key paths
// ("HKEY_USERS\S-1-5-21-1"), a privilege name, or the text expanded.
const std::vector<std::wstring>& calls();
// Calls of one function only, in order, as their targets.
std::vector<std::wstring> callTargets(const std::string& function);

// Open registry and token handles, for checking that every one is closed.
int openKeyCount();
int openTokenCount();

}  // namespace memplat
