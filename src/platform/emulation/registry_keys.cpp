// The registry calls on keys and hives, with Windows' statuses and buffer
// rules, over whichever store the provider keeps: opening, closing and
// listing keys, loading and unloading hives.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulation/provider.h"
#include "platform/emulation/registry.h"
#include "platform/emulation/registry_state.h"
#include "platform/emulation/token.h"
#include "platform/winapi.h"

using namespace emulation;

namespace {

// Loading and unloading take a predefined root and the restore privilege.
std::optional<LONG> checkHiveCall(HKEY hKey, std::optional<Root>& root) {
    root = rootOf(hKey);
    if (!root) {
        return ERROR_INVALID_HANDLE;
    }
    if (!privilegeEnabled(L"SeRestorePrivilege")) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    return std::nullopt;
}

}  // namespace

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    const OpenKey* parent = findHandle(hKey);
    if (auto fault = enter("RegOpenKeyExW", [&] { return joinPath(pathOf(parent), lpSubKey); })) {
        return *fault;
    }
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (parent == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if (const LONG bad = checkSubKeyPath(lpSubKey); bad != ERROR_SUCCESS) {
        return bad;
    }
    Location at;
    std::size_t consumed = 0;
    const LONG status = walk(parent->at, splitKeyPath(lpSubKey), at, consumed);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // The key's path serves the call log only.
    *phkResult = addHandle(at, samDesired, callsObserved() ? joinPath(parent->path, lpSubKey) : std::wstring());
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                            const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    const OpenKey* parent = findHandle(hKey);
    if (auto fault = enter("RegCreateKeyExW", [&] { return joinPath(pathOf(parent), lpSubKey); })) {
        return *fault;
    }
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (parent == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    Location at;
    bool created = false;
    const LONG status = createKeyPath(parent->at, lpSubKey, systemTime(), at, created, nullptr);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *phkResult = addHandle(at, samDesired, callsObserved() ? joinPath(parent->path, lpSubKey) : std::wstring());
    return ERROR_SUCCESS;
}

// With a subkey, that key goes with everything below it; without one, what
// is below the handle's key goes and the key stays, as in Windows. The keys
// whose subkeys or values went get the time of the change.
LONG WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
    const OpenKey* key = findHandle(hKey);
    if (auto fault = enter("RegDeleteTreeW", [&] { return joinPath(pathOf(key), lpSubKey); })) {
        return *fault;
    }
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const bool whole = lpSubKey != nullptr && *lpSubKey != L'\0';
    if (!whole && (key->access & (KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE)) != (KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    LONG status = checkSubKeyPath(lpSubKey);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<std::wstring> parts = splitKeyPath(lpSubKey);
    std::wstring last;
    if (!parts.empty()) {
        last = parts.back();
        parts.pop_back();
    }
    Location at;
    std::size_t consumed = 0;
    if ((status = walk(key->at, parts, at, consumed)) != ERROR_SUCCESS) {
        return status;
    }
    // A hive's root is no key that can be deleted, and the predefined roots
    // hold hives only.
    if (!at.mount) {
        return last.empty() ? ERROR_ACCESS_DENIED : (findMount(at.root, last) ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
    }
    Hive& hive = *at.mount->hive;
    const FILETIME now = systemTime();
    if (!last.empty()) {
        KeyId child = 0;
        if ((status = hive.findChild(at.key, last, child)) != ERROR_SUCCESS) {
            return status;
        }
        if (!hive.writable()) {
            return ERROR_ACCESS_DENIED;
        }
        return (status = hive.deleteTree(at.key, child)) != ERROR_SUCCESS ? status : hive.setLastWriteTime(at.key, now);
    }
    if (!hive.writable()) {
        return ERROR_ACCESS_DENIED;
    }
    bool changed = false;
    for (;;) {
        bool exists = false;
        std::wstring name;
        FILETIME lastWrite{};
        KeyId child = 0;
        if ((status = hive.childAt(at.key, 0, exists, name, lastWrite)) != ERROR_SUCCESS) {
            return status;
        }
        if (!exists) {
            break;
        }
        if ((status = hive.findChild(at.key, name, child)) != ERROR_SUCCESS ||
            (status = hive.deleteTree(at.key, child)) != ERROR_SUCCESS) {
            return status;
        }
        changed = true;
    }
    std::vector<std::wstring> names;
    if ((status = hive.valueNames(at.key, names)) != ERROR_SUCCESS) {
        return status;
    }
    for (std::size_t i = names.size(); i > 0; --i) {
        if ((status = hive.deleteValue(at.key, i - 1)) != ERROR_SUCCESS) {
            return status;
        }
        changed = true;
    }
    return changed ? hive.setLastWriteTime(at.key, now) : ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    const OpenKey* key = findHandle(hKey);
    const std::optional<LONG> fault = enter("RegCloseKey", [&] { return pathOf(key); });
    // A close that fails still closes: only its status is reported.
    const LONG status = closeHandle(hKey);
    return fault ? *fault : status;
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                          LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    const OpenKey* key = findHandle(hKey);
    if (auto fault = enter("RegEnumKeyExW", [&] { return pathOf(key) + L" " + std::to_wstring(dwIndex); })) {
        return *fault;
    }
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((key->access & KEY_ENUMERATE_SUB_KEYS) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (lpName == nullptr || lpcchName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    bool exists = false;
    std::wstring name;
    FILETIME lastWrite{};
    if (!key->at.mount) {
        const std::vector<std::wstring> names = rootKeyNames(key->at.root);
        exists = dwIndex < names.size();
        name = exists ? names[dwIndex] : L"";
    } else {
        const LONG status = key->at.mount->hive->childAt(key->at.key, dwIndex, exists, name, lastWrite);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    }
    if (!exists) {
        return ERROR_NO_MORE_ITEMS;
    }
    // The length is in characters: the terminator counts going in, not
    // coming back.
    if (name.size() + 1 > *lpcchName) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    *lpcchName = static_cast<DWORD>(name.size());
    // No store keeps key classes: a class asked for comes back empty.
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = L'\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        *lpftLastWriteTime = lastWrite;
    }
    return ERROR_SUCCESS;
}

// Differs from Windows on purpose: a missing hive file is never created (an
// empty hive planted in a profile folder would spoil that profile). Each
// store answers ERROR_FILE_NOT_FOUND for it.
LONG WINAPI RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile) {
    const std::wstring name = lpSubKey != nullptr ? lpSubKey : L"";
    const std::wstring file = lpFile != nullptr ? lpFile : L"";
    if (auto fault = enter("RegLoadKeyW", [&] { return rootName(hKey) + L"\\" + name + L" " + file; })) {
        return *fault;
    }
    std::optional<Root> root;
    if (auto refused = checkHiveCall(hKey, root)) {
        return *refused;
    }
    if (name.empty() || name.find(L'\\') != std::wstring::npos || file.empty()) {
        return ERROR_INVALID_PARAMETER;
    }
    if (findMount(*root, name)) {
        return ERROR_ALREADY_EXISTS;
    }
    std::shared_ptr<Hive> hive;
    const LONG status = openHiveFile(hKey, file, hive);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    mount(hKey, name, std::move(hive), true);
    return ERROR_SUCCESS;
}

LONG WINAPI RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    const std::wstring name = lpSubKey != nullptr ? lpSubKey : L"";
    if (auto fault = enter("RegUnLoadKeyW", [&] { return rootName(hKey) + L"\\" + name; })) {
        return *fault;
    }
    std::optional<Root> root;
    if (auto refused = checkHiveCall(hKey, root)) {
        return *refused;
    }
    const std::shared_ptr<Mount> mounted = findMount(*root, name);
    if (!mounted || !mounted->unloadable) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (mounted->openHandles > 0) {
        return ERROR_ACCESS_DENIED;
    }
    // The name is free again whatever the store answers; its status says what
    // became of the hive's changes.
    removeMount(*root, name);
    return mounted->hive->unmounted();
}
