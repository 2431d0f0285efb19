// The registry calls of the offline platform over hive files, through hivex.
// Statuses are Windows' own; where this registry cannot do what Windows
// does, the function says so.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/offline/offline_platform.h"
#include "platform/linux/utf.h"
#include "platform/winapi.h"
#include "platform/linux/unique_handle.h"
#include "platform/offline/hive_file.h"
#include "platform/emulation/names.h"
#include "platform/offline/offline_registry.h"

namespace {

using offline::HiveFile;

constexpr std::size_t longestKeyName = 255;
constexpr std::size_t longestValueName = 16383;
// Above this size Windows stores value data in segments ("big data") in hives
// of minor version 4 and later; hivex writes one cell, which Windows cannot read.
constexpr std::size_t largestSingleCellValue = 16344;
const wchar_t* const softwareRootName = L"SOFTWARE";
const char* const softwareHivePath = "C:\\Windows\\System32\\config\\SOFTWARE";

struct Hive {
    std::unique_ptr<HiveFile> file;
    std::wstring name;
    int openHandles = 0;
};

enum class Root { machine, users };

// A position in the registry: a predefined root (hive null) or a key in a hive.
struct Location {
    Root root = Root::machine;
    std::shared_ptr<Hive> hive;
    hive_node_h node = 0;
};

struct OpenKey {
    Location location;
    REGSAM access = 0;
};

struct RegistryState {
    std::shared_ptr<Hive> software;
    std::map<std::wstring, std::shared_ptr<Hive>> users;  // by upper-cased name
    std::map<std::uintptr_t, OpenKey> handles;
    std::uintptr_t nextHandle = 0x10000;
};

RegistryState& registry() {
    static RegistryState state;
    return state;
}

std::vector<std::wstring> splitKeyPath(const wchar_t* path) {
    std::vector<std::wstring> parts;
    if (path == nullptr) {
        return parts;
    }
    std::wstring current;
    for (const wchar_t* p = path; *p != L'\0'; ++p) {
        if (*p == L'\\') {
            if (!current.empty()) {
                parts.push_back(current);
            }
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty()) {
        parts.push_back(current);
    }
    return parts;
}

bool isEmpty(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

std::wstring nodeName(hive_h* h, hive_node_h node) {
    UniqueMalloc<char> name(hivex_node_name(h, node));
    return name ? wideFromUtf8(name.get()) : std::wstring();
}

char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; }

// The child with the name, compared as Windows compares key names (hivex's
// own lookup folds ASCII letters only). ERROR_FILE_NOT_FOUND when there is none; ERROR_BADDB when the
// key's subkey list or a subkey's name cannot be read, so that a broken hive
// is not taken for a missing key.
LONG findChild(hive_h* h, hive_node_h node, const std::wstring& name, hive_node_h& found) {
    UniqueMalloc<hive_node_h> children(hivex_node_children(h, node));
    if (!children) {
        return ERROR_BADDB;
    }
    // Every key of a profile list is looked up among all its siblings, so
    // with many profiles this loop runs N^2 times: an ASCII name (the usual
    // case, and every SID) is compared on hivex's UTF-8 bytes directly. No
    // other character upper-cases to an ASCII one, and UTF-8 bytes of other
    // characters are never ASCII, so the result is sameName's.
    bool ascii = true;
    std::string wanted;
    for (wchar_t c : name) {
        ascii = ascii && c > 0 && c < 0x80;
        wanted += asciiUpper(static_cast<char>(c));
    }
    for (const hive_node_h* child = children.get(); *child != 0; ++child) {
        if (!ascii) {
            UniqueMalloc<char> childName(hivex_node_name(h, *child));
            if (!childName) {
                return ERROR_BADDB;
            }
            if (emulation::sameName(wideFromUtf8(childName.get()), name)) {
                found = *child;
                return ERROR_SUCCESS;
            }
            continue;
        }
        UniqueMalloc<char> raw(hivex_node_name(h, *child));
        if (!raw) {
            return ERROR_BADDB;
        }
        std::size_t i = 0;
        while (i < wanted.size() && raw.get()[i] != '\0' && asciiUpper(raw.get()[i]) == wanted[i]) {
            ++i;
        }
        if (i == wanted.size() && raw.get()[i] == '\0') {
            found = *child;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG openSoftwareHive(std::shared_ptr<Hive>& out) {
    RegistryState& state = registry();
    if (state.software) {
        out = state.software;
        return ERROR_SUCCESS;
    }
    std::string drive;
    std::string problem;
    if (!offline::systemDriveDirectory(drive, problem)) {
        offline::noteVolumeProblem(problem);
        return ERROR_FILE_NOT_FOUND;
    }
    std::unique_ptr<HiveFile> file;
    const LONG status = HiveFile::open(drive, wideFromUtf8(softwareHivePath), false, file);
    if (status != ERROR_SUCCESS) {
        struct stat st;
        if (stat(drive.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            offline::noteVolumeProblem("=" + drive + " is not a directory");
        } else if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) {
            offline::noteVolumeProblem("=" + drive +
                                       " names no Windows system drive: it has no Windows/System32/config/SOFTWARE");
        } else {
            offline::noteVolumeProblem("=" + drive + ": Windows/System32/config/SOFTWARE cannot be read as a hive "
                                       "(error " + std::to_string(status) + ")");
        }
        return status;
    }
    auto hive = std::make_shared<Hive>();
    hive->file = std::move(file);
    hive->name = softwareRootName;
    state.software = hive;
    out = hive;
    return ERROR_SUCCESS;
}

// Steps from a predefined root into the hive its first component names.
LONG enterHive(Root root, const std::wstring& component, Location& out) {
    out.root = root;
    if (root == Root::machine) {
        if (!emulation::sameName(component, softwareRootName)) {
            return ERROR_FILE_NOT_FOUND;
        }
        const LONG status = openSoftwareHive(out.hive);
        if (status != ERROR_SUCCESS) {
            return status;
        }
    } else {
        auto it = registry().users.find(emulation::upperCased(component));
        if (it == registry().users.end()) {
            return ERROR_FILE_NOT_FOUND;
        }
        out.hive = it->second;
    }
    out.node = hivex_root(out.hive->file->handle());
    return out.node == 0 ? ERROR_BADDB : ERROR_SUCCESS;
}

// Follows the path as far as its keys exist. On return, consumed counts the
// components walked; the status is 2 when a key is missing (consumed then
// points at it).
LONG walk(const Location& from, const std::vector<std::wstring>& parts, Location& at, std::size_t& consumed) {
    at = from;
    consumed = 0;
    if (!at.hive) {
        if (parts.empty()) {
            return ERROR_SUCCESS;
        }
        const LONG status = enterHive(at.root, parts[0], at);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        consumed = 1;
    }
    hive_h* h = at.hive->file->handle();
    for (; consumed < parts.size(); ++consumed) {
        hive_node_h child = 0;
        const LONG status = findChild(h, at.node, parts[consumed], child);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        at.node = child;
    }
    return ERROR_SUCCESS;
}

bool lookupHandle(HKEY key, OpenKey& out) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_USERS) {
        out.location = Location{key == HKEY_LOCAL_MACHINE ? Root::machine : Root::users, nullptr, 0};
        out.access = KEY_ALL_ACCESS;
        return true;
    }
    auto it = registry().handles.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == registry().handles.end()) {
        return false;
    }
    out = it->second;
    return true;
}

// A value as read from a hive, kept to rewrite the key's value list.
struct StoredValue {
    std::string name;  // UTF-8, as hivex takes it
    hive_type type = hive_t_REG_NONE;
    std::string data;
};

LONG readValues(hive_h* h, hive_node_h node, std::vector<StoredValue>& out) {
    errno = 0;
    UniqueMalloc<hive_value_h> values(hivex_node_values(h, node));
    if (!values) {
        return ERROR_BADDB;
    }
    for (const hive_value_h* value = values.get(); *value != 0; ++value) {
        StoredValue stored;
        UniqueMalloc<char> name(hivex_value_key(h, *value));
        size_t length = 0;
        UniqueMalloc<char> data(hivex_value_value(h, *value, &stored.type, &length));
        if (!name || !data) {
            return ERROR_BADDB;
        }
        stored.name = name.get();
        stored.data.assign(data.get(), length);
        out.push_back(std::move(stored));
    }
    return ERROR_SUCCESS;
}

// The index of the value with the name, compared as Windows compares them; -1
// when there is none.
long findValue(const std::vector<StoredValue>& values, const std::wstring& name) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (emulation::sameName(wideFromUtf8(values[i].name), name)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

bool needsBigData(const HiveFile& file, std::size_t size) {
    return file.minorVersion() >= 4 && size > largestSingleCellValue;
}

// hivex rewrites every value of a key as one cell each, so a key that holds
// a value Windows keeps as big data cannot be changed without spoiling it.
bool holdsBigData(const HiveFile& file, const std::vector<StoredValue>& values) {
    for (const StoredValue& value : values) {
        if (needsBigData(file, value.data.size())) {
            return true;
        }
    }
    return false;
}

LONG writeValues(Hive& hive, hive_node_h node, const std::vector<StoredValue>& values) {
    std::vector<hive_set_value> list;
    list.reserve(values.size());
    for (const StoredValue& value : values) {
        hive_set_value entry;
        entry.key = const_cast<char*>(value.name.c_str());
        entry.t = value.type;
        entry.len = value.data.size();
        entry.value = const_cast<char*>(value.data.data());
        list.push_back(entry);
    }
    errno = 0;
    if (hivex_node_set_values(hive.file->handle(), node, list.size(), list.data(), 0) != 0) {
        return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADDB;
    }
    hive.file->markChanged();
    return ERROR_SUCCESS;
}

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// String data of the API (wchar_t) to hive bytes (UTF-16LE) and back.
std::string hiveBytesOf(DWORD type, const void* data, DWORD size) {
    if (!isStringType(type)) {
        return std::string(static_cast<const char*>(data), size);
    }
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        std::memcpy(text.data(), data, text.size() * sizeof(wchar_t));
    }
    return utf16leFromWide(text);
}

std::vector<unsigned char> apiBytesOf(DWORD type, const std::string& stored) {
    if (!isStringType(type)) {
        return std::vector<unsigned char>(stored.begin(), stored.end());
    }
    std::wstring text = wideFromUtf16le(reinterpret_cast<const unsigned char*>(stored.data()), stored.size() & ~std::size_t{1});
    // Strings come back terminated, whether or not the hive stored the terminator.
    if (text.empty() || text.back() != L'\0') {
        text.push_back(L'\0');
    }
    std::vector<unsigned char> bytes(text.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

}  // namespace

namespace offline {

void resetRegistry() {
    registry() = RegistryState{};
}

int openKeyHandleCount() { return static_cast<int>(registry().handles.size()); }

}  // namespace offline

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    OpenKey parent;
    if (!lookupHandle(hKey, parent)) {
        return ERROR_INVALID_HANDLE;
    }
    Location at;
    std::size_t consumed = 0;
    const LONG status = walk(parent.location, splitKeyPath(lpSubKey), at, consumed);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    RegistryState& state = registry();
    const std::uintptr_t value = state.nextHandle;
    state.nextHandle += 8;
    if (at.hive) {
        ++at.hive->openHandles;
    }
    state.handles[value] = OpenKey{at, samDesired};
    *phkResult = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_USERS) {
        return ERROR_SUCCESS;
    }
    auto& handles = registry().handles;
    auto it = handles.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == handles.end()) {
        return ERROR_INVALID_HANDLE;
    }
    if (it->second.location.hive) {
        --it->second.location.hive->openHandles;
    }
    handles.erase(it);
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                          LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    OpenKey key;
    if (!lookupHandle(hKey, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((key.access & KEY_ENUMERATE_SUB_KEYS) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (lpName == nullptr || lpcchName == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring name;
    std::int64_t stamp = 0;
    const Location& at = key.location;
    if (!at.hive) {
        std::vector<std::wstring> names;
        if (at.root == Root::machine) {
            names.push_back(softwareRootName);
        } else {
            for (const auto& entry : registry().users) {
                names.push_back(entry.second->name);
            }
        }
        if (dwIndex >= names.size()) {
            return ERROR_NO_MORE_ITEMS;
        }
        name = names[dwIndex];
    } else {
        hive_h* h = at.hive->file->handle();
        UniqueMalloc<hive_node_h> children(hivex_node_children(h, at.node));
        if (!children) {
            return ERROR_BADDB;
        }
        std::size_t count = 0;
        while (children.get()[count] != 0) {
            ++count;
        }
        if (dwIndex >= count) {
            return ERROR_NO_MORE_ITEMS;
        }
        const hive_node_h child = children.get()[dwIndex];
        name = nodeName(h, child);
        stamp = hivex_node_timestamp(h, child);
    }
    if (name.size() + 1 > *lpcchName) {
        return ERROR_MORE_DATA;
    }
    std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    *lpcchName = static_cast<DWORD>(name.size());
    // Keys carry no class in the hives this tool edits.
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = L'\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        const auto value = static_cast<std::uint64_t>(stamp > 0 ? stamp : 0);
        lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(value);
        lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(value >> 32);
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                         LPDWORD pcbData) {
    OpenKey key;
    if (!lookupHandle(hkey, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (pvData != nullptr && pcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // Windows refuses to hand out an unexpanded REG_EXPAND_SZ unless asked for it.
    if ((dwFlags & RRF_RT_ANY) == 0 || ((dwFlags & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND))) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD available = pcbData != nullptr ? *pcbData : 0;
    auto zeroOnFailure = [&](LONG status) {
        if ((dwFlags & RRF_ZEROONFAILURE) && pvData != nullptr && available > 0) {
            std::memset(pvData, 0, available);
        }
        return status;
    };
    if (isEmpty(lpSubKey) && (key.access & KEY_QUERY_VALUE) == 0) {
        return zeroOnFailure(ERROR_ACCESS_DENIED);
    }
    Location at;
    std::size_t consumed = 0;
    LONG status = walk(key.location, splitKeyPath(lpSubKey), at, consumed);
    if (status != ERROR_SUCCESS) {
        return zeroOnFailure(status);
    }
    if (!at.hive) {
        // The predefined roots hold no values.
        return zeroOnFailure(ERROR_FILE_NOT_FOUND);
    }
    std::vector<StoredValue> values;
    status = readValues(at.hive->file->handle(), at.node, values);
    if (status != ERROR_SUCCESS) {
        return zeroOnFailure(status);
    }
    const long index = findValue(values, lpValue != nullptr ? lpValue : L"");
    if (index < 0) {
        return zeroOnFailure(ERROR_FILE_NOT_FOUND);
    }
    const StoredValue& value = values[static_cast<std::size_t>(index)];
    DWORD type = static_cast<DWORD>(value.type);
    std::vector<unsigned char> data = apiBytesOf(type, value.data);
    if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
        // Expanded with the volume's own environment, and then a plain string.
        const auto* text = reinterpret_cast<const wchar_t*>(data.data());
        const DWORD needed = ExpandEnvironmentStringsW(text, nullptr, 0);
        std::wstring expanded(needed, L'\0');
        ExpandEnvironmentStringsW(text, expanded.data(), needed);
        data.assign(reinterpret_cast<const unsigned char*>(expanded.data()),
                    reinterpret_cast<const unsigned char*>(expanded.data() + expanded.size()));
        type = REG_SZ;
    }
    const DWORD accepted = dwFlags & RRF_RT_ANY;
    const bool typeAccepted = (type == REG_NONE && (accepted & RRF_RT_REG_NONE)) ||
                              (type == REG_SZ && (accepted & RRF_RT_REG_SZ)) ||
                              (type == REG_EXPAND_SZ && (accepted & RRF_RT_REG_EXPAND_SZ)) ||
                              (type == REG_BINARY && (accepted & RRF_RT_REG_BINARY)) ||
                              (type == REG_DWORD && (accepted & RRF_RT_REG_DWORD)) ||
                              (type == REG_MULTI_SZ && (accepted & RRF_RT_REG_MULTI_SZ)) ||
                              (type == REG_QWORD && (accepted & RRF_RT_REG_QWORD)) || accepted == RRF_RT_ANY;
    if (!typeAccepted) {
        return zeroOnFailure(ERROR_UNSUPPORTED_TYPE);
    }
    if (pdwType != nullptr) {
        *pdwType = type;
    }
    if (pcbData == nullptr) {
        return ERROR_SUCCESS;
    }
    *pcbData = static_cast<DWORD>(data.size());
    if (pvData == nullptr) {
        return ERROR_SUCCESS;
    }
    if (data.size() > available) {
        return zeroOnFailure(ERROR_MORE_DATA);
    }
    std::memcpy(pvData, data.data(), data.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType, LPCVOID lpData,
                            DWORD cbData) {
    OpenKey key;
    if (!lookupHandle(hKey, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (isEmpty(lpSubKey) && (key.access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    const std::wstring valueName = lpValueName != nullptr ? lpValueName : L"";
    if (valueName.size() > longestValueName) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::vector<std::wstring> parts = splitKeyPath(lpSubKey);
    Location at;
    std::size_t consumed = 0;
    LONG status = walk(key.location, parts, at, consumed);
    if (status != ERROR_SUCCESS && !(status == ERROR_FILE_NOT_FOUND && at.hive)) {
        // Keys directly under HKEY_USERS or HKEY_LOCAL_MACHINE are hives: none is created.
        return status == ERROR_FILE_NOT_FOUND ? ERROR_ACCESS_DENIED : status;
    }
    if (!at.hive) {
        return ERROR_ACCESS_DENIED;
    }
    Hive& hive = *at.hive;
    // The SOFTWARE hive is opened read-only: this tool never changes it.
    if (!hive.file->writable()) {
        return ERROR_ACCESS_DENIED;
    }
    // Every refusal comes before the first change, so a refused call leaves
    // the hive as it was.
    for (std::size_t i = consumed; i < parts.size(); ++i) {
        if (parts[i].size() > longestKeyName) {
            return ERROR_INVALID_PARAMETER;
        }
        // hivex files non-ASCII names under a hash and in an order that
        // Windows does not use, so Windows might never find such a key.
        if (!emulation::isAscii(parts[i])) {
            return ERROR_NOT_SUPPORTED;
        }
    }
    const std::string data = hiveBytesOf(dwType, lpData, cbData);
    if (needsBigData(*hive.file, data.size())) {
        return ERROR_NOT_SUPPORTED;
    }
    hive_h* h = hive.file->handle();
    std::vector<StoredValue> values;
    if (consumed == parts.size()) {
        status = readValues(h, at.node, values);
        if (status != ERROR_SUCCESS) {
            return status;
        }
        if (holdsBigData(*hive.file, values)) {
            return ERROR_NOT_SUPPORTED;
        }
    }
    for (std::size_t i = consumed; i < parts.size(); ++i) {
        errno = 0;
        const hive_node_h child = hivex_node_add_child(h, at.node, utf8FromWide(parts[i]).c_str());
        if (child == 0) {
            return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADDB;
        }
        hive.file->markChanged();
        at.node = child;
    }
    const long index = findValue(values, valueName);
    if (index >= 0) {
        // Windows keeps the name as first written when a value is replaced.
        values[static_cast<std::size_t>(index)].type = static_cast<hive_type>(dwType);
        values[static_cast<std::size_t>(index)].data = data;
    } else {
        values.push_back(StoredValue{utf8FromWide(valueName), static_cast<hive_type>(dwType), data});
    }
    return writeValues(hive, at.node, values);
}

LONG WINAPI RegDeleteKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName) {
    OpenKey key;
    if (!lookupHandle(hKey, key)) {
        return ERROR_INVALID_HANDLE;
    }
    if (isEmpty(lpSubKey) && (key.access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    Location at;
    std::size_t consumed = 0;
    LONG status = walk(key.location, splitKeyPath(lpSubKey), at, consumed);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (!at.hive) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::vector<StoredValue> values;
    status = readValues(at.hive->file->handle(), at.node, values);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const long index = findValue(values, lpValueName != nullptr ? lpValueName : L"");
    if (index < 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!at.hive->file->writable()) {
        return ERROR_ACCESS_DENIED;
    }
    // Rewriting the list would spoil the big-data values that stay.
    if (holdsBigData(*at.hive->file, values)) {
        return ERROR_NOT_SUPPORTED;
    }
    values.erase(values.begin() + index);
    return writeValues(*at.hive, at.node, values);
}

// Differs from Windows on purpose in two ways: a missing file gives 2 and is
// never created (an empty hive planted in a profile folder would spoil that
// profile), and hives load under HKEY_USERS only.
LONG WINAPI RegLoadKeyW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpFile) {
    if (hKey != HKEY_USERS && hKey != HKEY_LOCAL_MACHINE) {
        return ERROR_INVALID_HANDLE;
    }
    if (!offline::restorePrivilegeEnabled()) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    const std::wstring name = lpSubKey != nullptr ? lpSubKey : L"";
    if (hKey != HKEY_USERS || name.empty() || name.find(L'\\') != std::wstring::npos || isEmpty(lpFile)) {
        return ERROR_INVALID_PARAMETER;
    }
    RegistryState& state = registry();
    if (state.users.count(emulation::upperCased(name)) != 0) {
        return ERROR_ALREADY_EXISTS;
    }
    std::string drive;
    std::string problem;
    if (!offline::systemDriveDirectory(drive, problem)) {
        offline::noteVolumeProblem(problem);
        return ERROR_PATH_NOT_FOUND;
    }
    std::unique_ptr<HiveFile> file;
    const LONG status = HiveFile::open(drive, lpFile, true, file);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    auto hive = std::make_shared<Hive>();
    hive->file = std::move(file);
    hive->name = name;
    state.users[emulation::upperCased(name)] = hive;
    return ERROR_SUCCESS;
}

LONG WINAPI RegUnLoadKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (hKey != HKEY_USERS && hKey != HKEY_LOCAL_MACHINE) {
        return ERROR_INVALID_HANDLE;
    }
    if (!offline::restorePrivilegeEnabled()) {
        return ERROR_PRIVILEGE_NOT_HELD;
    }
    RegistryState& state = registry();
    const std::wstring name = lpSubKey != nullptr ? lpSubKey : L"";
    auto it = hKey == HKEY_USERS ? state.users.find(emulation::upperCased(name)) : state.users.end();
    if (it == state.users.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (it->second->openHandles > 0) {
        return ERROR_ACCESS_DENIED;
    }
    std::shared_ptr<Hive> hive = it->second;
    state.users.erase(it);
    // The hive is unloaded even when its write-back fails: the status tells
    // the caller that the changes are lost, and the file is as it was.
    return hive->file->changed() ? hive->file->writeBack() : ERROR_SUCCESS;
}
