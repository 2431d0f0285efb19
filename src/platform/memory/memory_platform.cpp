#include "platform/memory/memory_platform.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "platform/emulation/environment.h"
#include "platform/emulation/path_components.h"
#include "platform/emulation/privilege_names.h"

namespace {

wchar_t upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

std::wstring upperCased(const std::wstring& s) {
    std::wstring u = s;
    std::transform(u.begin(), u.end(), u.begin(), upper);
    return u;
}

struct HiveFile;

struct Node {
    std::wstring name;
    std::map<std::wstring, std::pair<std::wstring, memplat::Value>> values;  // by upper-case name
    std::map<std::wstring, std::shared_ptr<Node>> subkeys;                  // by upper-case name, so sorted
    HiveFile* hive = nullptr;                                               // the hive file it lives in, if any
};

struct HiveFile {
    std::shared_ptr<Node> root = std::make_shared<Node>();
    std::wstring mountName;  // empty while not mounted
};

struct OpenKey {
    std::shared_ptr<Node> node;
    REGSAM access = 0;
    std::wstring path;
};

struct Fault {
    std::string function;
    LONG status;
    int occurrence;
    std::wstring target;
    int seen = 0;
};

struct State {
    std::shared_ptr<Node> machine = std::make_shared<Node>();
    std::shared_ptr<Node> users = std::make_shared<Node>();
    std::map<std::wstring, std::shared_ptr<HiveFile>> files;  // by upper-case path
    std::map<std::uintptr_t, OpenKey> keys;
    std::uintptr_t nextKey = 0x1000;
    int openTokens = 0;
    std::vector<std::wstring> held{L"SeBackupPrivilege", L"SeRestorePrivilege"};
    std::vector<std::wstring> enabled;
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> environment;  // upper name -> (name, value)
    std::vector<Fault> faults;
    std::vector<std::wstring> calls;
    std::vector<std::string> callFunctions;
};

State& state() {
    static State s;
    return s;
}

const std::uintptr_t tokenHandleValue = 0x7000;

std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Records the call and tells whether a fault applies to it.
std::optional<LONG> enter(const char* function, const std::wstring& target) {
    State& s = state();
    s.calls.push_back(wide(function) + L" " + target);
    s.callFunctions.emplace_back(function);
    for (Fault& f : s.faults) {
        if (f.function != function || (!f.target.empty() && !equalsIgnoringAsciiCase(f.target, target))) {
            continue;
        }
        ++f.seen;
        if (f.occurrence == 0 || f.occurrence == f.seen) {
            return f.status;
        }
    }
    return std::nullopt;
}

std::shared_ptr<Node> rootNode(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE) {
        return state().machine;
    }
    if (root == HKEY_USERS) {
        return state().users;
    }
    return nullptr;
}

std::wstring rootName(HKEY root) {
    if (root == HKEY_LOCAL_MACHINE) {
        return L"HKEY_LOCAL_MACHINE";
    }
    if (root == HKEY_USERS) {
        return L"HKEY_USERS";
    }
    return L"HKEY_?";
}

// A handle's node and path, predefined roots included.
OpenKey* lookupHandle(HKEY key, OpenKey& scratch) {
    if (auto node = rootNode(key)) {
        scratch = OpenKey{node, KEY_ALL_ACCESS, rootName(key)};
        return &scratch;
    }
    auto it = state().keys.find(reinterpret_cast<std::uintptr_t>(key));
    return it == state().keys.end() ? nullptr : &it->second;
}

std::wstring joinPath(const std::wstring& base, const wchar_t* sub) {
    if (sub == nullptr || *sub == L'\0') {
        return base;
    }
    return base + L"\\" + sub;
}

std::shared_ptr<Node> walk(std::shared_ptr<Node> node, const std::wstring& path, bool create) {
    for (const std::wstring& part : splitPathComponents(path, std::wstring(L"\\"))) {
        auto it = node->subkeys.find(upperCased(part));
        if (it == node->subkeys.end()) {
            if (!create) {
                return nullptr;
            }
            auto child = std::make_shared<Node>();
            child->name = part;
            child->hive = node->hive;
            it = node->subkeys.emplace(upperCased(part), child).first;
        }
        node = it->second;
    }
    return node;
}

HKEY newHandle(std::shared_ptr<Node> node, REGSAM access, const std::wstring& path) {
    State& s = state();
    const std::uintptr_t value = s.nextKey;
    s.nextKey += 8;
    s.keys[value] = OpenKey{std::move(node), access, path};
    return reinterpret_cast<HKEY>(value);
}

bool enabled(const std::wstring& privilege) {
    const auto& e = state().enabled;
    return std::find(e.begin(), e.end(), privilege) != e.end();
}

std::vector<std::uint8_t> bytesOfString(const std::wstring& text) {
    std::vector<std::uint8_t> data((text.size() + 1) * sizeof(wchar_t));
    std::memcpy(data.data(), text.c_str(), data.size());
    return data;
}

std::shared_ptr<HiveFile> hiveFile(const std::wstring& path) {
    auto it = state().files.find(upperCased(path));
    return it == state().files.end() ? nullptr : it->second;
}

void setNodeValue(Node& node, const std::wstring& name, DWORD type, const std::vector<std::uint8_t>& data) {
    node.values[upperCased(name)] = {name, memplat::Value{type, data}};
}

}  // namespace

namespace memplat {

void reset() { state() = State{}; setEnvironment(L"SystemDrive", L"C:"); setEnvironment(L"SystemRoot", L"C:\\Windows"); }

void createKey(HKEY root, const std::wstring& path) { walk(rootNode(root), path, true); }

void setValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
              const std::vector<std::uint8_t>& data) {
    setNodeValue(*walk(rootNode(root), path, true), name, type, data);
}

void setString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text, DWORD type) {
    setValue(root, path, name, type, bytesOfString(text));
}

std::optional<Value> getValue(HKEY root, const std::wstring& path, const std::wstring& name) {
    auto node = walk(rootNode(root), path, false);
    if (!node) {
        return std::nullopt;
    }
    auto it = node->values.find(upperCased(name));
    if (it == node->values.end()) {
        return std::nullopt;
    }
    return it->second.second;
}

std::optional<std::wstring> getString(HKEY root, const std::wstring& path, const std::wstring& name) {
    auto value = getValue(root, path, name);
    if (!value) {
        return std::nullopt;
    }
    std::wstring text(value->data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), value->data.data(), text.size() * sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

bool keyExists(HKEY root, const std::wstring& path) { return walk(rootNode(root), path, false) != nullptr; }

void addHiveFile(const std::wstring& filePath) {
    auto file = std::make_shared<HiveFile>();
    file->root->hive = file.get();
    state().files[upperCased(filePath)] = file;
}

void createHiveKey(const std::wstring& filePath, const std::wstring& keyPath) {
    walk(hiveFile(filePath)->root, keyPath, true);
}

void setHiveString(const std::wstring& filePath, const std::wstring& keyPath, const std::wstring& name,
                   const std::wstring& text) {
    setNodeValue(*walk(hiveFile(filePath)->root, keyPath, true), name, REG_SZ, bytesOfString(text));
}

void setHiveValue(const std::wstring& filePath, const std::wstring& keyPath, const std::wstring& name, DWORD type,
                  const std::vector<std::uint8_t>& data) {
    setNodeValue(*walk(hiveFile(filePath)->root, keyPath, true), name, type, data);
}

bool hiveFileExists(const std::wstring& filePath) { return hiveFile(filePath) != nullptr; }

std::optional<Value> getHiveValue(const std::wstring& filePath, const std::wstring& keyPath,
                                  const std::wstring& name) {
    auto file = hiveFile(filePath);
    auto node = file ? walk(file->root, keyPath, false) : nullptr;
    if (!node) {
        return std::nullopt;
    }
    auto it = node->values.find(upperCased(name));
    if (it == node->values.end()) {
        return std::nullopt;
    }
    return it->second.second;
}

void mountHive(const std::wstring& mountName, const std::wstring& filePath) {
    auto file = hiveFile(filePath);
    file->mountName = mountName;
    file->root->name = mountName;
    state().users->subkeys[upperCased(mountName)] = file->root;
}

bool isMounted(const std::wstring& mountName) {
    return state().users->subkeys.count(upperCased(mountName)) != 0;
}

void setHeldPrivileges(const std::vector<std::wstring>& names) { state().held = names; }

bool privilegeEnabled(const std::wstring& name) { return enabled(name); }

void setEnvironment(const std::wstring& name, const std::wstring& value) {
    state().environment[upperCased(name)] = {name, value};
}

void failCall(const std::string& function, LONG status, int occurrence, const std::wstring& target) {
    state().faults.push_back(Fault{function, status, occurrence, target});
}

const std::vector<std::wstring>& calls() { return state().calls; }

std::vector<std::wstring> callTargets(const std::string& function) {
    std::vector<std::wstring> targets;
    const State& s = state();
    for (std::size_t i = 0; i < s.calls.size(); ++i) {
        if (s.callFunctions[i] == function) {
            targets.push_back(s.calls[i].substr(function.size() + 1));
        }
    }
    return targets;
}

int openKeyCount() { return static_cast<int>(state().keys.size()); }

int openTokenCount() { return state().openTokens; }

}  // namespace memplat

// ---- Registry ----

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    OpenKey scratch;
    OpenKey* parent = lookupHandle(hKey, scratch);
    const std::wstring path = joinPath(parent ? parent->path : L"?", lpSubKey);
    if (auto fault = enter("RegOpenKeyExW", path)) {
        return *fault;
    }
    if (parent == nullptr || phkResult == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    auto node = walk(parent->node, lpSubKey ? lpSubKey : L"", false);
    if (!node) {
        return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = newHandle(node, samDesired, path);
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR, LPDWORD,
                          PFILETIME) {
    OpenKey scratch;
    OpenKey* key = lookupHandle(hKey, scratch);
    if (auto fault = enter("RegEnumKeyExW", (key ? key->path : L"?") + L" " + std::to_wstring(dwIndex))) {
        return *fault;
    }
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((key->access & KEY_ENUMERATE_SUB_KEYS) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (dwIndex >= key->node->subkeys.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    auto it = key->node->subkeys.begin();
    std::advance(it, dwIndex);
    const std::wstring& name = it->second->name;
    if (lpName == nullptr || lpcchName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (name.size() + 1 > *lpcchName) {
        return ERROR_MORE_DATA;
    }
    std::copy(name.begin(), name.end(), lpName);
    lpName[name.size()] = L'\0';
    *lpcchName = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                         LPDWORD pcbData) {
    OpenKey scratch;
    OpenKey* key = lookupHandle(hkey, scratch);
    const std::wstring valueName = lpValue ? lpValue : L"";
    if (auto fault = enter("RegGetValueW", joinPath(key ? key->path : L"?", lpSubKey) + L" " + valueName)) {
        return *fault;
    }
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((lpSubKey == nullptr || *lpSubKey == L'\0') && (key->access & KEY_QUERY_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    auto node = walk(key->node, lpSubKey ? lpSubKey : L"", false);
    if (!node) {
        return ERROR_FILE_NOT_FOUND;
    }
    auto it = node->values.find(upperCased(valueName));
    if (it == node->values.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    const memplat::Value& value = it->second.second;
    const DWORD accepted = dwFlags & RRF_RT_ANY;
    const bool typeOk = (value.type == REG_SZ && (accepted & RRF_RT_REG_SZ)) ||
                        (value.type == REG_EXPAND_SZ && (accepted & RRF_RT_REG_EXPAND_SZ) && (dwFlags & RRF_NOEXPAND)) ||
                        (value.type == REG_DWORD && (accepted & RRF_RT_REG_DWORD)) ||
                        (value.type == REG_BINARY && (accepted & RRF_RT_REG_BINARY));
    if (!typeOk) {
        return ERROR_UNSUPPORTED_TYPE;
    }
    std::vector<std::uint8_t> data = value.data;
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        // Strings come back terminated, whatever was stored.
        data.resize((data.size() + sizeof(wchar_t) - 1) / sizeof(wchar_t) * sizeof(wchar_t));
        bool terminated = false;
        if (data.size() >= sizeof(wchar_t)) {
            wchar_t lastChar;
            std::memcpy(&lastChar, data.data() + data.size() - sizeof(wchar_t), sizeof(wchar_t));
            terminated = lastChar == L'\0';
        }
        if (!terminated) {
            data.resize(data.size() + sizeof(wchar_t), 0);
        }
    }
    if (pdwType != nullptr) {
        *pdwType = value.type;
    }
    if (pcbData == nullptr) {
        return pvData == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    const DWORD available = *pcbData;
    *pcbData = static_cast<DWORD>(data.size());
    if (pvData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (data.size() > available) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(pvData, data.data(), data.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    OpenKey scratch;
    OpenKey* key = lookupHandle(hKey, scratch);
    if (auto fault = enter("RegCloseKey", key ? key->path : L"?")) {
        // The handle is gone all the same; only the status is reported.
        state().keys.erase(reinterpret_cast<std::uintptr_t>(hKey));
        return *fault;
    }
    if (rootNode(hKey)) {
        return ERROR_SUCCESS;
    }
    if (state().keys.erase(reinterpret_cast<std::uintptr_t>(hKey)) == 0) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile) {
    const std::wstring name = lpSubKey ? lpSubKey : L"";
    const std::wstring file = lpFile ? lpFile : L"";
    if (auto fault = enter("RegLoadKeyW", rootName(hKey) + L"\\" + name + L" " + file)) {
        return *fault;
    }
    if (hKey != HKEY_USERS && hKey != HKEY_LOCAL_MACHINE) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!enabled(L"SeRestorePrivilege")) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    auto root = rootNode(hKey);
    if (name.empty() || name.find(L'\\') != std::wstring::npos) {
        return ERROR_INVALID_PARAMETER;
    }
    if (root->subkeys.count(upperCased(name)) != 0) {
        return ERROR_ALREADY_EXISTS;
    }
    // A missing file is never created: planting an empty hive in a profile
    // folder would corrupt that profile.
    auto hive = hiveFile(file);
    if (!hive) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!hive->mountName.empty()) {
        return ERROR_SHARING_VIOLATION;
    }
    hive->mountName = name;
    hive->root->name = name;
    root->subkeys[upperCased(name)] = hive->root;
    return ERROR_SUCCESS;
}

LONG WINAPI RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    const std::wstring name = lpSubKey ? lpSubKey : L"";
    if (auto fault = enter("RegUnLoadKeyW", rootName(hKey) + L"\\" + name)) {
        return *fault;
    }
    auto root = rootNode(hKey);
    if (!root) {
        return ERROR_INVALID_HANDLE;
    }
    if (!enabled(L"SeRestorePrivilege")) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    auto it = root->subkeys.find(upperCased(name));
    if (it == root->subkeys.end() || it->second->hive == nullptr) {
        return it == root->subkeys.end() ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER;
    }
    HiveFile* hive = it->second->hive;
    for (const auto& entry : state().keys) {
        if (entry.second.node->hive == hive) {
            return ERROR_ACCESS_DENIED;
        }
    }
    hive->mountName.clear();
    root->subkeys.erase(it);
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType, LPCVOID lpData,
                            DWORD cbData) {
    OpenKey scratch;
    OpenKey* key = lookupHandle(hKey, scratch);
    const std::wstring valueName = lpValueName ? lpValueName : L"";
    if (auto fault = enter("RegSetKeyValueW", joinPath(key ? key->path : L"?", lpSubKey) + L" " + valueName)) {
        return *fault;
    }
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    if ((lpSubKey == nullptr || *lpSubKey == L'\0') && (key->access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    auto node = walk(key->node, lpSubKey ? lpSubKey : L"", true);
    const auto* bytes = static_cast<const std::uint8_t*>(lpData);
    setNodeValue(*node, valueName, dwType, std::vector<std::uint8_t>(bytes, bytes + cbData));
    return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName) {
    OpenKey scratch;
    OpenKey* key = lookupHandle(hKey, scratch);
    const std::wstring valueName = lpValueName ? lpValueName : L"";
    if (auto fault = enter("RegDeleteKeyValueW", joinPath(key ? key->path : L"?", lpSubKey) + L" " + valueName)) {
        return *fault;
    }
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    auto node = walk(key->node, lpSubKey ? lpSubKey : L"", false);
    if (!node || node->values.erase(upperCased(valueName)) == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    return ERROR_SUCCESS;
}

// ---- Token ----

HANDLE WINAPI GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)); }

BOOL WINAPI OpenProcessToken(HANDLE, DWORD DesiredAccess, PHANDLE TokenHandle) {
    if (auto fault = enter("OpenProcessToken", std::to_wstring(DesiredAccess))) {
        SetLastError(static_cast<DWORD>(*fault));
        return FALSE;
    }
    ++state().openTokens;
    *TokenHandle = reinterpret_cast<HANDLE>(tokenHandleValue);
    return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR, LPCWSTR lpName, PLUID lpLuid) {
    if (auto fault = enter("LookupPrivilegeValueW", lpName ? lpName : L"")) {
        SetLastError(static_cast<DWORD>(*fault));
        return FALSE;
    }
    return lookupPrivilegeByName(lpName, lpLuid);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL, PTOKEN_PRIVILEGES NewState, DWORD, PTOKEN_PRIVILEGES,
                                  LPDWORD) {
    std::wstring privilege;
    for (const auto& held : {L"SeBackupPrivilege", L"SeRestorePrivilege", L"SeDebugPrivilege",
                             L"SeShutdownPrivilege", L"SeChangeNotifyPrivilege"}) {
        LUID luid{};
        lookupPrivilegeByName(held, &luid);
        if (NewState != nullptr && luid.LowPart == NewState->Privileges[0].Luid.LowPart) {
            privilege = held;
        }
    }
    if (auto fault = enter("AdjustTokenPrivileges", privilege)) {
        SetLastError(static_cast<DWORD>(*fault));
        // ERROR_NOT_ALL_ASSIGNED is how Windows reports a privilege the token lacks: the call
        // itself succeeds.
        return *fault == ERROR_NOT_ALL_ASSIGNED ? TRUE : FALSE;
    }
    if (TokenHandle != reinterpret_cast<HANDLE>(tokenHandleValue) || NewState == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const auto& held = state().held;
    if (std::find(held.begin(), held.end(), privilege) == held.end()) {
        SetLastError(ERROR_NOT_ALL_ASSIGNED);
        return TRUE;
    }
    auto& on = state().enabled;
    if ((NewState->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0) {
        if (!enabled(privilege)) {
            on.push_back(privilege);
        }
    } else {
        on.erase(std::remove(on.begin(), on.end(), privilege), on.end());
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    enter("CloseHandle", L"token");
    if (hObject != reinterpret_cast<HANDLE>(tokenHandleValue) || state().openTokens == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --state().openTokens;
    // Closing a handle may leave any last error behind; callers must have read
    // theirs before.
    SetLastError(ERROR_INVALID_PARAMETER);
    return TRUE;
}

// ---- Environment ----

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
    if (auto fault = enter("ExpandEnvironmentStringsW", lpSrc ? lpSrc : L"")) {
        SetLastError(static_cast<DWORD>(*fault));
        return 0;
    }
    return expandEnvironmentText(lpSrc, lpDst, nSize, [](const std::wstring& name) -> std::optional<std::wstring> {
        auto it = state().environment.find(upperCased(name));
        if (it == state().environment.end()) {
            return std::nullopt;
        }
        return it->second.second;
    });
}
