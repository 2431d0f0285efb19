// The registry calls on values, with Windows' statuses, type rules and buffer
// rules, over whichever store the provider keeps: reading (RegGetValueW),
// setting with the creation of missing keys (RegSetKeyValueW), deleting
// (RegDeleteKeyValueW); and the last-write times those changes give keys.
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulation/environment.h"
#include "platform/emulation/provider.h"
#include "platform/emulation/registry.h"
#include "platform/emulation/registry_state.h"
#include "platform/winapi.h"

using namespace emulation;

namespace {

constexpr std::size_t longestValueName = 16383;

bool isEmpty(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Reports a call on a value and finds its handle's key; a status when the
// call ends there.
std::optional<LONG> enterValueCall(const char* function, HKEY hKey, const wchar_t* subKey, const wchar_t* valueName,
                                   const OpenKey*& key) {
    key = findHandle(hKey);
    if (auto fault = enter(function, [&] {
            return joinPath(pathOf(key), subKey) + L" " + (valueName != nullptr ? valueName : L"");
        })) {
        return fault;
    }
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    return std::nullopt;
}

// Strings come back terminated, whether or not the store kept the terminator.
void terminate(std::vector<unsigned char>& data) {
    data.resize((data.size() + sizeof(wchar_t) - 1) / sizeof(wchar_t) * sizeof(wchar_t), 0);
    wchar_t last = L'x';
    if (!data.empty()) {
        std::memcpy(&last, data.data() + data.size() - sizeof(wchar_t), sizeof(wchar_t));
    }
    if (last != L'\0') {
        data.resize(data.size() + sizeof(wchar_t), 0);
    }
}

// REG_EXPAND_SZ text expanded with the provider's environment, terminated.
std::vector<unsigned char> expanded(const std::vector<unsigned char>& terminated) {
    std::wstring text(terminated.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), terminated.data(), text.size() * sizeof(wchar_t));
    text.resize(std::wcslen(text.c_str()));
    const std::wstring result = expandedText(text, environmentVariable) + L'\0';
    const auto* bytes = reinterpret_cast<const unsigned char*>(result.data());
    return std::vector<unsigned char>(bytes, bytes + result.size() * sizeof(wchar_t));
}

// Windows reads only the types that have an RRF_RT_ flag, even with
// RRF_RT_ANY: REG_LINK, REG_DWORD_BIG_ENDIAN, the resource lists and types of
// an application's own give ERROR_UNSUPPORTED_TYPE (measured under Wine).
bool typeAccepted(DWORD type, DWORD flags) {
    const DWORD accepted = flags & RRF_RT_ANY;
    switch (type) {
        case REG_NONE: return (accepted & RRF_RT_REG_NONE) != 0;
        case REG_SZ: return (accepted & RRF_RT_REG_SZ) != 0;
        case REG_EXPAND_SZ: return (accepted & RRF_RT_REG_EXPAND_SZ) != 0;
        case REG_BINARY: return (accepted & RRF_RT_REG_BINARY) != 0;
        case REG_DWORD: return (accepted & RRF_RT_REG_DWORD) != 0;
        case REG_MULTI_SZ: return (accepted & RRF_RT_REG_MULTI_SZ) != 0;
        case REG_QWORD: return (accepted & RRF_RT_REG_QWORD) != 0;
        default: return false;
    }
}

// The value of that name in the subkey below the handle's key: its key and
// its position there. ERROR_FILE_NOT_FOUND when either is missing.
LONG findNamedValue(const OpenKey& key, const wchar_t* subKey, const wchar_t* valueName, Location& at,
                    std::size_t& index) {
    LONG status = checkSubKeyPath(subKey);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::size_t consumed = 0;
    status = walk(key.at, splitKeyPath(subKey), at, consumed);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // The predefined roots hold no values.
    if (!at.mount) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::vector<std::wstring> names;
    if ((status = at.mount->hive->valueNames(at.key, names)) != ERROR_SUCCESS) {
        return status;
    }
    index = findValue(names, valueName != nullptr ? valueName : L"");
    return index == newValue ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

}  // namespace

LONG WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                         LPDWORD pcbData) {
    const OpenKey* key = nullptr;
    if (auto ended = enterValueCall("RegGetValueW", hkey, lpSubKey, lpValue, key)) {
        return *ended;
    }
    if (pvData != nullptr && pcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    // REG_EXPAND_SZ data is handed out unexpanded only when that is asked
    // for; RRF_RT_ANY alone takes it expanded.
    if ((dwFlags & RRF_RT_REG_EXPAND_SZ) != 0 && (dwFlags & RRF_NOEXPAND) == 0 &&
        (dwFlags & RRF_RT_ANY) != RRF_RT_ANY) {
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD available = pcbData != nullptr ? *pcbData : 0;
    auto failed = [&](LONG status) {
        if ((dwFlags & RRF_ZEROONFAILURE) != 0 && pvData != nullptr && available > 0) {
            std::memset(pvData, 0, available);
        }
        return status;
    };
    if (isEmpty(lpSubKey) && (key->access & KEY_QUERY_VALUE) == 0) {
        return failed(ERROR_ACCESS_DENIED);
    }
    Location at;
    std::size_t index = 0;
    LONG status = findNamedValue(*key, lpSubKey, lpValue, at, index);
    if (status != ERROR_SUCCESS) {
        return failed(status);
    }
    DWORD type = REG_NONE;
    std::vector<unsigned char> data;
    status = at.mount->hive->readValue(at.key, index, type, data);
    if (status != ERROR_SUCCESS) {
        return failed(status);
    }
    if (isStringType(type)) {
        terminate(data);
    }
    if (type == REG_EXPAND_SZ && (dwFlags & RRF_NOEXPAND) == 0) {
        data = expanded(data);
        type = REG_SZ;
    }
    if (!typeAccepted(type, dwFlags)) {
        return failed(ERROR_UNSUPPORTED_TYPE);
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
        return failed(ERROR_MORE_DATA);
    }
    // A value without data (an empty REG_BINARY) has no bytes to copy from.
    if (!data.empty()) {
        std::memcpy(pvData, data.data(), data.size());
    }
    return ERROR_SUCCESS;
}

namespace {

// The value's type and data stored in the key, which gets the time of the
// change. Every refusal comes before the first change.
LONG setValueIn(Hive& hive, KeyId key, const std::wstring& valueName, DWORD type, const unsigned char* data,
                DWORD size, const FILETIME& now) {
    if (valueName.size() > longestValueName) {
        return ERROR_INVALID_PARAMETER;
    }
    LONG status = hive.checkValueData(type, data, size);
    std::size_t index = newValue;
    if (status != ERROR_SUCCESS || (status = hive.findValue(key, valueName, index)) != ERROR_SUCCESS) {
        return status;
    }
    // A value replaced keeps the name it was first written with.
    if ((status = hive.setValue(key, index, valueName, type, data, size)) != ERROR_SUCCESS) {
        return status;
    }
    return hive.setLastWriteTime(key, now);
}

LONG deleteValueIn(Hive& hive, KeyId key, const wchar_t* valueName, const FILETIME& now) {
    std::size_t index = newValue;
    LONG status = hive.findValue(key, valueName != nullptr ? valueName : L"", index);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    // Only a value that is there is deleted, so a missing one stamps nothing.
    if (index == newValue) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!hive.writable()) {
        return ERROR_ACCESS_DENIED;
    }
    return (status = hive.deleteValue(key, index)) != ERROR_SUCCESS ? status : hive.setLastWriteTime(key, now);
}

}  // namespace

LONG WINAPI RegSetKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName, DWORD dwType, LPCVOID lpData,
                            DWORD cbData) {
    const OpenKey* key = nullptr;
    if (auto ended = enterValueCall("RegSetKeyValueW", hKey, lpSubKey, lpValueName, key)) {
        return *ended;
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if (isEmpty(lpSubKey) && (key->access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    const std::wstring valueName = lpValueName != nullptr ? lpValueName : L"";
    if (valueName.size() > longestValueName) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto* data = static_cast<const unsigned char*>(lpData);
    // The value's refusals come before any key of the path is created, so
    // that a refused call leaves the hive as it was.
    Location at;
    bool created = false;
    const FILETIME now = systemTime();
    LONG status = createKeyPath(key->at, lpSubKey, now, at, created, [&](Hive& hive) {
        return hive.checkValueData(dwType, data, cbData);
    });
    if (status != ERROR_SUCCESS) {
        return status;
    }
    return setValueIn(*at.mount->hive, at.key, valueName, dwType, data, cbData, now);
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    const OpenKey* key = nullptr;
    if (auto ended = enterValueCall("RegSetValueExW", hKey, nullptr, lpValueName, key)) {
        return *ended;
    }
    if (lpData == nullptr && cbData != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((key->access & KEY_SET_VALUE) == 0 || !key->at.mount || !key->at.mount->hive->writable()) {
        return ERROR_ACCESS_DENIED;
    }
    return setValueIn(*key->at.mount->hive, key->at.key, lpValueName != nullptr ? lpValueName : L"", dwType, lpData,
                      cbData, systemTime());
}

LONG WINAPI RegDeleteKeyValueW(HKEY hKey, LPCWSTR lpSubKey, LPCWSTR lpValueName) {
    const OpenKey* key = nullptr;
    if (auto ended = enterValueCall("RegDeleteKeyValueW", hKey, lpSubKey, lpValueName, key)) {
        return *ended;
    }
    if (isEmpty(lpSubKey) && (key->access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    LONG status = checkSubKeyPath(lpSubKey);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    Location at;
    std::size_t consumed = 0;
    if ((status = walk(key->at, splitKeyPath(lpSubKey), at, consumed)) != ERROR_SUCCESS) {
        return status;
    }
    // The predefined roots hold no values.
    if (!at.mount) {
        return ERROR_FILE_NOT_FOUND;
    }
    return deleteValueIn(*at.mount->hive, at.key, lpValueName, systemTime());
}

LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    const OpenKey* key = nullptr;
    if (auto ended = enterValueCall("RegDeleteValueW", hKey, nullptr, lpValueName, key)) {
        return *ended;
    }
    if ((key->access & KEY_SET_VALUE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (!key->at.mount) {
        return ERROR_FILE_NOT_FOUND;
    }
    return deleteValueIn(*key->at.mount->hive, key->at.key, lpValueName, systemTime());
}
