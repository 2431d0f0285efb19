// The emulated registry's mounts and handles, and the walk along a key path.
#include "platform/emulation/registry_state.h"

#include <algorithm>
#include <cstdint>
#include <map>

#include "platform/emulation/names.h"
#include "platform/emulation/path_components.h"
#include "platform/emulation/provider.h"
#include "platform/emulation/registry.h"

namespace emulation {

namespace {

struct RegistryState {
    std::map<std::wstring, std::shared_ptr<Mount>> machine;  // by upper-cased name
    std::map<std::wstring, std::shared_ptr<Mount>> users;
    std::map<std::uintptr_t, OpenKey> handles;
    std::uintptr_t nextHandle = 0x10000;
};

RegistryState& state() {
    static RegistryState s;
    return s;
}

std::map<std::wstring, std::shared_ptr<Mount>>& mountsOf(Root root) {
    return root == Root::machine ? state().machine : state().users;
}

const OpenKey& rootKey(Root root) {
    static const OpenKey machine{Location{Root::machine, nullptr, 0}, KEY_ALL_ACCESS, L"HKEY_LOCAL_MACHINE"};
    static const OpenKey users{Location{Root::users, nullptr, 0}, KEY_ALL_ACCESS, L"HKEY_USERS"};
    return root == Root::machine ? machine : users;
}

// The mount the name leads to from a predefined root. A machine hive of the
// provider is opened when it is first entered, and stays mounted.
LONG enterMount(Root root, const std::wstring& name, std::shared_ptr<Mount>& out) {
    if ((out = findMount(root, name))) {
        return ERROR_SUCCESS;
    }
    if (root != Root::machine) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::shared_ptr<Hive> hive;
    const LONG status = openMachineHive(name, hive);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::wstring listed = name;
    for (const std::wstring& machineHive : machineHiveNames()) {
        if (sameName(machineHive, name)) {
            listed = machineHive;
        }
    }
    mount(HKEY_LOCAL_MACHINE, listed, std::move(hive), false);
    out = findMount(root, name);
    return ERROR_SUCCESS;
}

}  // namespace

std::optional<Root> rootOf(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return Root::machine;
    }
    if (key == HKEY_USERS) {
        return Root::users;
    }
    return std::nullopt;
}

std::wstring rootName(HKEY key) {
    const std::optional<Root> root = rootOf(key);
    return root ? rootKey(*root).path : L"HKEY_?";
}

void mount(HKEY root, const std::wstring& name, std::shared_ptr<Hive> hive, bool unloadable) {
    auto mounted = std::make_shared<Mount>();
    mounted->name = name;
    mounted->hive = std::move(hive);
    mounted->unloadable = unloadable;
    mountsOf(rootOf(root).value_or(Root::users))[upperCased(name)] = std::move(mounted);
}

std::shared_ptr<Hive> mountedHive(HKEY root, const std::wstring& name) {
    const std::optional<Root> which = rootOf(root);
    std::shared_ptr<Mount> mounted;
    if (!which || enterMount(*which, name, mounted) != ERROR_SUCCESS) {
        return nullptr;
    }
    return mounted->hive;
}

void resetRegistry() { state() = RegistryState{}; }

int openKeyCount() { return static_cast<int>(state().handles.size()); }

std::vector<std::wstring> splitKeyPath(const wchar_t* path) {
    return path == nullptr ? std::vector<std::wstring>() : splitPathComponents(std::wstring(path), std::wstring(L"\\"));
}

LONG checkSubKeyPath(const wchar_t* path) {
    return path != nullptr && path[0] == L'\\' ? ERROR_BAD_PATHNAME : ERROR_SUCCESS;
}

LONG findKey(Hive& hive, const std::vector<std::wstring>& path, KeyId& key) {
    LONG status = hive.root(key);
    for (std::size_t i = 0; status == ERROR_SUCCESS && i < path.size(); ++i) {
        status = hive.findChild(key, path[i], key);
    }
    return status;
}

std::size_t findValue(const std::vector<std::wstring>& names, const std::wstring& name) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (sameName(names[i], name)) {
            return i;
        }
    }
    return newValue;
}

LONG Hive::findValue(KeyId key, const std::wstring& name, std::size_t& index) {
    std::vector<std::wstring> names;
    const LONG status = valueNames(key, names);
    if (status == ERROR_SUCCESS) {
        index = emulation::findValue(names, name);
    }
    return status;
}

const OpenKey* findHandle(HKEY key) {
    if (const std::optional<Root> root = rootOf(key)) {
        return &rootKey(*root);
    }
    auto& handles = state().handles;
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(key));
    return it == handles.end() ? nullptr : &it->second;
}

HKEY addHandle(const Location& at, REGSAM access, std::wstring path) {
    RegistryState& s = state();
    const std::uintptr_t value = s.nextHandle;
    s.nextHandle += 8;
    if (at.mount) {
        ++at.mount->openHandles;
    }
    s.handles[value] = OpenKey{at, access, std::move(path)};
    return reinterpret_cast<HKEY>(value);
}

LONG closeHandle(HKEY key) {
    if (rootOf(key)) {
        return ERROR_SUCCESS;
    }
    auto& handles = state().handles;
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == handles.end()) {
        return ERROR_INVALID_HANDLE;
    }
    if (it->second.at.mount) {
        --it->second.at.mount->openHandles;
    }
    handles.erase(it);
    return ERROR_SUCCESS;
}

std::wstring pathOf(const OpenKey* key) { return key != nullptr ? key->path : L"?"; }

std::wstring joinPath(const std::wstring& base, const wchar_t* subKey) {
    if (subKey == nullptr || *subKey == L'\0') {
        return base;
    }
    return base + L"\\" + subKey;
}

std::shared_ptr<Mount> findMount(Root root, const std::wstring& name) {
    const auto& mounts = mountsOf(root);
    auto it = mounts.find(upperCased(name));
    return it == mounts.end() ? nullptr : it->second;
}

void removeMount(Root root, const std::wstring& name) { mountsOf(root).erase(upperCased(name)); }

std::vector<std::wstring> rootKeyNames(Root root) {
    std::map<std::wstring, std::wstring> names;  // sorted by upper-cased name, as Windows lists keys
    if (root == Root::machine) {
        for (const std::wstring& name : machineHiveNames()) {
            names.emplace(upperCased(name), name);
        }
    }
    for (const auto& entry : mountsOf(root)) {
        names.emplace(entry.first, entry.second->name);
    }
    std::vector<std::wstring> listed;
    for (const auto& entry : names) {
        listed.push_back(entry.second);
    }
    return listed;
}

LONG walk(const Location& from, const std::vector<std::wstring>& parts, Location& at, std::size_t& consumed) {
    at = from;
    consumed = 0;
    if (!at.mount) {
        // The first name below a predefined root is a hive.
        if (parts.empty()) {
            return ERROR_SUCCESS;
        }
        LONG status = enterMount(at.root, parts[0], at.mount);
        if (status == ERROR_SUCCESS) {
            status = at.mount->hive->root(at.key);
        }
        if (status != ERROR_SUCCESS) {
            return status;
        }
        consumed = 1;
    }
    Hive& hive = *at.mount->hive;
    for (; consumed < parts.size(); ++consumed) {
        KeyId child = 0;
        const LONG status = hive.findChild(at.key, parts[consumed], child);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        at.key = child;
    }
    return ERROR_SUCCESS;
}

LONG createKeyPath(const Location& from, const wchar_t* subKey, const FILETIME& now, Location& at, bool& created,
                   const std::function<LONG(Hive&)>& check) {
    constexpr std::size_t longestKeyName = 255;
    created = false;
    LONG status = checkSubKeyPath(subKey);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const std::vector<std::wstring> parts = splitKeyPath(subKey);
    std::size_t consumed = 0;
    status = walk(from, parts, at, consumed);
    if (status != ERROR_SUCCESS && !(status == ERROR_FILE_NOT_FOUND && at.mount)) {
        // Keys directly under a predefined root are hives: none is created.
        return status == ERROR_FILE_NOT_FOUND ? ERROR_ACCESS_DENIED : status;
    }
    if (!at.mount || !at.mount->hive->writable()) {
        return ERROR_ACCESS_DENIED;
    }
    Hive& hive = *at.mount->hive;
    for (std::size_t i = consumed; i < parts.size(); ++i) {
        if (parts[i].size() > longestKeyName) {
            return ERROR_INVALID_PARAMETER;
        }
        if ((status = hive.checkNewKeyName(parts[i])) != ERROR_SUCCESS) {
            return status;
        }
    }
    if (check && (status = check(hive)) != ERROR_SUCCESS) {
        return status;
    }
    for (std::size_t i = consumed; i < parts.size(); ++i) {
        KeyId child = 0;
        if ((status = hive.addChild(at.key, parts[i], child)) != ERROR_SUCCESS ||
            (status = hive.setLastWriteTime(at.key, now)) != ERROR_SUCCESS) {
            return status;
        }
        at.key = child;
        created = true;
    }
    return created ? hive.setLastWriteTime(at.key, now) : ERROR_SUCCESS;
}

}  // namespace emulation
