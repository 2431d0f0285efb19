// The storage interface under the emulated registry: one hive as a store keeps
// it, a tree of keys with names and last-write times, each key with values
// that have a name, a type and bytes. The store answers only what it holds
// and what it can or cannot write; every Windows rule (names, paths, handles,
// mounts, statuses, buffers) is the emulation's (registry_keys.cpp,
// registry_values.cpp). Value data crosses this interface as the API sees
// it: text in wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace emulation {

// A key of a hive, as the store that keeps it identifies it.
using KeyId = std::uint64_t;

// The index that setValue takes for a value not yet in the key.
constexpr std::size_t newValue = static_cast<std::size_t>(-1);

class Hive {
public:
    virtual ~Hive() = default;

    virtual LONG root(KeyId& out) = 0;
    // The subkey whose name is the same as the name by sameName (names.h);
    // ERROR_FILE_NOT_FOUND when there is none, ERROR_BADDB when the key's
    // subkeys cannot be read.
    virtual LONG findChild(KeyId key, const std::wstring& name, KeyId& child) = 0;
    // The subkey at the index in the order Windows lists them; exists is
    // false past the last one.
    virtual LONG childAt(KeyId key, DWORD index, bool& exists, std::wstring& name, FILETIME& lastWrite) = 0;
    // The names of the key's values. A position in this list names the value
    // to readValue, setValue and deleteValue.
    virtual LONG valueNames(KeyId key, std::vector<std::wstring>& names) = 0;
    // The position in valueNames of the value whose name is the same by
    // sameName, or newValue. A store that can find one without listing
    // every name (a key of a thousand values set one by one) says so here.
    virtual LONG findValue(KeyId key, const std::wstring& name, std::size_t& index);
    virtual LONG readValue(KeyId key, std::size_t index, DWORD& type, std::vector<unsigned char>& data) = 0;

    // Whether the store may change this hive at all.
    virtual bool writable() const = 0;
    // What the store cannot write, asked before anything changes so that a
    // refused call leaves the hive as it was. ERROR_SUCCESS when it can.
    virtual LONG checkNewKeyName(const std::wstring& /*name*/) { return ERROR_SUCCESS; }
    virtual LONG checkValueData(DWORD /*type*/, const unsigned char* /*data*/, DWORD /*size*/) {
        return ERROR_SUCCESS;
    }

    virtual LONG addChild(KeyId key, const std::wstring& name, KeyId& child) = 0;
    // Replaces the type and data of the value at the index, which keeps its
    // stored name, or adds a value of the name when the index is newValue.
    virtual LONG setValue(KeyId key, std::size_t index, const std::wstring& name, DWORD type,
                          const unsigned char* data, DWORD size) = 0;
    virtual LONG deleteValue(KeyId key, std::size_t index) = 0;
    // Removes the subkey child of key, and every key and value below it.
    // From then on no KeyId of those keys names a key: the store answers
    // ERROR_KEY_DELETED for any of them, as Windows answers a handle of a
    // deleted key.
    virtual LONG deleteTree(KeyId key, KeyId child) = 0;
    // Gives the key the time of a change (a FILETIME, UTC) as its last-write
    // time. The emulation decides which keys a change stamps; a store only
    // keeps the time and lists it with the key (childAt).
    virtual LONG setLastWriteTime(KeyId key, const FILETIME& time) = 0;

    // Called once RegUnLoadKeyW has taken the hive away; its status is the
    // unload's.
    virtual LONG unmounted() = 0;
};

}  // namespace emulation
