// The in-memory platform of the unit tests: the emulation of Windows' rules
// over hives kept in memory, with fault injection, the call log and the
// controls of memory_platform.h.
#include "platform/memory/memory_platform.h"

#include <time.h>

#include <cstring>
#include <map>
#include <memory>

#include "platform/emulation/names.h"
#include "platform/emulation/provider.h"
#include "platform/emulation/registry.h"
#include "platform/emulation/token.h"
#include "platform/memory/memory_hive.h"

namespace {

using memplat::MemoryHive;

struct Fault {
    std::string function;
    LONG status;
    int occurrence;
    std::wstring target;
    int seen = 0;
};

struct State {
    std::map<std::wstring, std::shared_ptr<MemoryHive>> files;                  // by upper-cased path
    std::map<std::wstring, std::pair<std::wstring, std::wstring>> environment;  // upper name -> (name, value)
    std::vector<Fault> faults;
    std::vector<std::wstring> calls;
    std::vector<std::string> callFunctions;
    std::optional<std::uint64_t> clock;  // fixed by a test
};

State& state() {
    static State s;
    return s;
}

std::vector<std::uint8_t> bytesOfString(const std::wstring& text) {
    std::vector<std::uint8_t> data((text.size() + 1) * sizeof(wchar_t));
    std::memcpy(data.data(), text.c_str(), data.size());
    return data;
}

std::shared_ptr<MemoryHive> hiveFile(const std::wstring& path) {
    auto it = state().files.find(emulation::upperCased(path));
    return it == state().files.end() ? nullptr : it->second;
}

// The key at the path in the hive, made with every missing key on the way.
emulation::KeyId createPath(emulation::Hive& hive, const std::vector<std::wstring>& path) {
    emulation::KeyId key = 0;
    hive.root(key);
    for (const std::wstring& name : path) {
        emulation::KeyId child = 0;
        if (hive.findChild(key, name, child) != ERROR_SUCCESS) {
            hive.addChild(key, name, child);
        }
        key = child;
    }
    return key;
}

void setNamedValue(emulation::Hive& hive, emulation::KeyId key, const std::wstring& name, DWORD type,
                   const std::vector<std::uint8_t>& data) {
    std::vector<std::wstring> names;
    hive.valueNames(key, names);
    hive.setValue(key, emulation::findValue(names, name), name, type, data.data(), static_cast<DWORD>(data.size()));
}

std::optional<memplat::Value> namedValue(emulation::Hive& hive, const std::vector<std::wstring>& path,
                                         const std::wstring& name) {
    emulation::KeyId key = 0;
    std::vector<std::wstring> names;
    if (emulation::findKey(hive, path, key) != ERROR_SUCCESS || hive.valueNames(key, names) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::size_t index = emulation::findValue(names, name);
    memplat::Value value;
    if (index == emulation::newValue || hive.readValue(key, index, value.type, value.data) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

// A path below a predefined root: the hive its first name mounts, and the
// key names below that hive's root.
struct RootPath {
    std::shared_ptr<emulation::Hive> hive;
    std::vector<std::wstring> below;
};

RootPath resolve(HKEY root, const std::wstring& path, bool create) {
    std::vector<std::wstring> names = emulation::splitKeyPath(path.c_str());
    if (names.empty()) {
        return {};
    }
    std::shared_ptr<emulation::Hive> hive = emulation::mountedHive(root, names.front());
    if (!hive && create) {
        // A machine's own hive, or one that another process keeps mounted.
        hive = std::make_shared<MemoryHive>();
        emulation::mount(root, names.front(), hive, false);
    }
    return RootPath{hive, std::vector<std::wstring>(names.begin() + 1, names.end())};
}

}  // namespace

// ---- What the emulation asks of its provider ----

namespace emulation {

bool callsObserved() { return true; }

FILETIME systemTime() {
    std::uint64_t value = 0;
    if (state().clock) {
        value = *state().clock;
    } else {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        value = (static_cast<std::uint64_t>(now.tv_sec) + 11644473600ULL) * 10000000ULL +
                static_cast<std::uint64_t>(now.tv_nsec) / 100;
    }
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

std::optional<LONG> enterCall(const char* function, const std::wstring& target) {
    State& s = state();
    s.calls.push_back(std::wstring(function, function + std::strlen(function)) + L" " + target);
    s.callFunctions.emplace_back(function);
    if (std::strcmp(function, "CloseHandle") == 0) {
        // Windows' CloseHandle may leave any last error behind. This one
        // always leaves a wrong one, so that a caller that reads its error
        // after the close shows up in the tests.
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    for (Fault& f : s.faults) {
        if (f.function != function || (!f.target.empty() && !sameName(f.target, target))) {
            continue;
        }
        ++f.seen;
        if (f.occurrence == 0 || f.occurrence == f.seen) {
            return f.status;
        }
    }
    return std::nullopt;
}

std::optional<std::wstring> environmentVariable(const std::wstring& name) {
    auto it = state().environment.find(upperCased(name));
    if (it == state().environment.end()) {
        return std::nullopt;
    }
    return it->second.second;
}

LONG openHiveFile(HKEY, const std::wstring& path, std::shared_ptr<Hive>& out) {
    std::shared_ptr<MemoryHive> hive = hiveFile(path);
    if (!hive) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (hive->mounted) {
        return ERROR_SHARING_VIOLATION;
    }
    hive->mounted = true;
    out = hive;
    return ERROR_SUCCESS;
}

// The test controls mount the machine's hives as they are laid out.
std::vector<std::wstring> machineHiveNames() { return {}; }

LONG openMachineHive(const std::wstring&, std::shared_ptr<Hive>&) { return ERROR_FILE_NOT_FOUND; }

}  // namespace emulation

// ---- The controls of the tests ----

namespace memplat {

void reset() {
    state() = State{};
    emulation::resetRegistry();
    emulation::resetToken();
    setEnvironment(L"SystemDrive", L"C:");
    setEnvironment(L"SystemRoot", L"C:\\Windows");
}

void setClock(std::uint64_t fileTime) { state().clock = fileTime; }

void createKey(HKEY root, const std::wstring& path) {
    const RootPath at = resolve(root, path, true);
    if (at.hive) {
        createPath(*at.hive, at.below);
    }
}

void setValue(HKEY root, const std::wstring& path, const std::wstring& name, DWORD type,
              const std::vector<std::uint8_t>& data) {
    const RootPath at = resolve(root, path, true);
    if (at.hive) {
        setNamedValue(*at.hive, createPath(*at.hive, at.below), name, type, data);
    }
}

void setString(HKEY root, const std::wstring& path, const std::wstring& name, const std::wstring& text, DWORD type) {
    setValue(root, path, name, type, bytesOfString(text));
}

std::optional<Value> getValue(HKEY root, const std::wstring& path, const std::wstring& name) {
    const RootPath at = resolve(root, path, false);
    return at.hive ? namedValue(*at.hive, at.below, name) : std::nullopt;
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

bool keyExists(HKEY root, const std::wstring& path) {
    if (emulation::splitKeyPath(path.c_str()).empty()) {
        return true;
    }
    const RootPath at = resolve(root, path, false);
    emulation::KeyId key = 0;
    return at.hive && emulation::findKey(*at.hive, at.below, key) == ERROR_SUCCESS;
}

void addHiveFile(const std::wstring& filePath) {
    state().files[emulation::upperCased(filePath)] = std::make_shared<MemoryHive>();
}

void createHiveKey(const std::wstring& filePath, const std::wstring& keyPath) {
    createPath(*hiveFile(filePath), emulation::splitKeyPath(keyPath.c_str()));
}

void setHiveString(const std::wstring& filePath, const std::wstring& keyPath, const std::wstring& name,
                   const std::wstring& text) {
    setHiveValue(filePath, keyPath, name, REG_SZ, bytesOfString(text));
}

void setHiveValue(const std::wstring& filePath, const std::wstring& keyPath, const std::wstring& name, DWORD type,
                  const std::vector<std::uint8_t>& data) {
    MemoryHive& hive = *hiveFile(filePath);
    setNamedValue(hive, createPath(hive, emulation::splitKeyPath(keyPath.c_str())), name, type, data);
}

bool hiveFileExists(const std::wstring& filePath) { return hiveFile(filePath) != nullptr; }

std::optional<std::uint64_t> hiveKeyLastWrite(const std::wstring& filePath, const std::wstring& keyPath) {
    auto file = hiveFile(filePath);
    emulation::KeyId key = 0;
    if (!file || emulation::findKey(*file, emulation::splitKeyPath(keyPath.c_str()), key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const FILETIME time = file->lastWriteTime(key);
    return static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

std::optional<Value> getHiveValue(const std::wstring& filePath, const std::wstring& keyPath,
                                  const std::wstring& name) {
    auto file = hiveFile(filePath);
    return file ? namedValue(*file, emulation::splitKeyPath(keyPath.c_str()), name) : std::nullopt;
}

void mountHive(const std::wstring& mountName, const std::wstring& filePath) {
    auto file = hiveFile(filePath);
    file->mounted = true;
    emulation::mount(HKEY_USERS, mountName, file, true);
}

bool isMounted(const std::wstring& mountName) { return emulation::mountedHive(HKEY_USERS, mountName) != nullptr; }

void setHeldPrivileges(const std::vector<std::wstring>& names) { emulation::setHeldPrivileges(names); }

bool privilegeEnabled(const std::wstring& name) { return emulation::privilegeEnabled(name.c_str()); }

void setEnvironment(const std::wstring& name, const std::wstring& value) {
    state().environment[emulation::upperCased(name)] = {name, value};
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

int openKeyCount() { return emulation::openKeyCount(); }

int openTokenCount() { return emulation::openTokenCount(); }

}  // namespace memplat
