// A hive kept in memory: the store of the unit tests' registry.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/emulation/hive.h"

namespace memplat {

class MemoryHive : public emulation::Hive {
public:
    MemoryHive();

    LONG root(emulation::KeyId& out) override;
    LONG findChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) override;
    LONG childAt(emulation::KeyId key, DWORD index, bool& exists, std::wstring& name, FILETIME& lastWrite) override;
    LONG valueNames(emulation::KeyId key, std::vector<std::wstring>& names) override;
    LONG readValue(emulation::KeyId key, std::size_t index, DWORD& type, std::vector<unsigned char>& data) override;
    bool writable() const override { return true; }
    LONG addChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) override;
    LONG setValue(emulation::KeyId key, std::size_t index, const std::wstring& name, DWORD type,
                  const unsigned char* data, DWORD size) override;
    LONG deleteValue(emulation::KeyId key, std::size_t index) override;
    LONG deleteTree(emulation::KeyId key, emulation::KeyId child) override;
    LONG setLastWriteTime(emulation::KeyId key, const FILETIME& time) override;
    LONG unmounted() override;

    // The key's last-write time, the root's included, for the tests' checks.
    FILETIME lastWriteTime(emulation::KeyId key) const;

    // Whether a load or another process has it mounted: a hive file is
    // mounted under one name at a time.
    bool mounted = false;

private:
    struct StoredValue {
        std::wstring name;
        DWORD type = REG_NONE;
        std::vector<unsigned char> data;
    };
    struct Key {
        emulation::KeyId id = 0;
        std::wstring name;
        FILETIME lastWrite{};  // when it was made, or last stamped by a change
        std::map<std::wstring, std::unique_ptr<Key>> subkeys;  // by upper-cased name: Windows' order
        std::vector<StoredValue> values;
    };
    // The key of an id that names one; null for the id of a deleted key.
    Key* keyOf(emulation::KeyId id) const;
    emulation::KeyId remember(Key& key);
    void forget(const Key& key);

    Key root_;
    // Every key by its id; ids are never given out again, so that one of a
    // deleted key stays deleted.
    std::unordered_map<emulation::KeyId, Key*> keys_;
    emulation::KeyId nextId_ = 1;
};

}  // namespace memplat
