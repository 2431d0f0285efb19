// Inside the emulated registry: where an open key is, the handle table and
// the walk along a key path. Shared by the registry calls only.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulation/hive.h"
#include "platform/winapi.h"

namespace emulation {

enum class Root { machine, users };

// A hive mounted directly under a predefined root.
struct Mount {
    std::wstring name;  // as first given
    std::shared_ptr<Hive> hive;
    bool unloadable = false;
    int openHandles = 0;  // RegUnLoadKeyW waits for these to be closed
};

// A predefined root (no mount) or a key in a mounted hive.
struct Location {
    Root root = Root::machine;
    std::shared_ptr<Mount> mount;
    KeyId key = 0;
};

struct OpenKey {
    Location at;
    REGSAM access = 0;
    std::wstring path;  // "HKEY_USERS\S-1-5-21-1\Software" while calls are observed
};

std::optional<Root> rootOf(HKEY key);
std::wstring rootName(HKEY key);

// The open key of a handle, the predefined roots included; null for a handle
// that is not open. Valid until the handle is closed.
const OpenKey* findHandle(HKEY key);
HKEY addHandle(const Location& at, REGSAM access, std::wstring path);
// ERROR_INVALID_HANDLE for a handle that is not open; the roots stay open.
LONG closeHandle(HKEY key);

// The base path followed by the subkey as given; "?" stands for an unknown handle.
std::wstring pathOf(const OpenKey* key);
std::wstring joinPath(const std::wstring& base, const wchar_t* subKey);

std::shared_ptr<Mount> findMount(Root root, const std::wstring& name);
void removeMount(Root root, const std::wstring& name);
// The names a predefined root lists: its hives, in Windows' order.
std::vector<std::wstring> rootKeyNames(Root root);

// Follows the key names from a location as far as its keys exist. consumed
// counts the names walked; on ERROR_FILE_NOT_FOUND it is the first missing one.
LONG walk(const Location& from, const std::vector<std::wstring>& parts, Location& at, std::size_t& consumed);

// Finds the key at the subkey path below a location, creating each missing
// key of the path as RegCreateKeyExW and RegSetKeyValueW do. Windows stamps
// what a change touched with its time: each key created, and the key whose
// subkey list gained the first of them. The path must lead into a writable
// hive (ERROR_ACCESS_DENIED otherwise: no key is made directly under a
// predefined root). Every refusal comes before the first change, check
// (the caller's own, about the hive) included, so that a refused call leaves
// the hive as it was. created tells whether a key was made.
LONG createKeyPath(const Location& from, const wchar_t* subKey, const FILETIME& now, Location& at, bool& created,
                   const std::function<LONG(Hive&)>& check);

}  // namespace emulation
