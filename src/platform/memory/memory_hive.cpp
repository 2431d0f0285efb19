#include "platform/memory/memory_hive.h"

#include <iterator>

#include "platform/emulation/names.h"
#include "platform/emulation/provider.h"

namespace memplat {

// Keys made by the tests' own layout (not by a registry call, which stamps
// what it changes) get the time of the platform's clock.
MemoryHive::MemoryHive() { root_.lastWrite = emulation::systemTime(); }

LONG MemoryHive::root(emulation::KeyId& out) {
    out = idOf(root_);
    return ERROR_SUCCESS;
}

LONG MemoryHive::findChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) {
    auto& subkeys = keyOf(key).subkeys;
    auto it = subkeys.find(emulation::upperCased(name));
    if (it == subkeys.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    child = idOf(*it->second);
    return ERROR_SUCCESS;
}

LONG MemoryHive::childAt(emulation::KeyId key, DWORD index, bool& exists, std::wstring& name, FILETIME& lastWrite) {
    const auto& subkeys = keyOf(key).subkeys;
    exists = index < subkeys.size();
    if (!exists) {
        return ERROR_SUCCESS;
    }
    const Key& child = *std::next(subkeys.begin(), index)->second;
    name = child.name;
    lastWrite = child.lastWrite;
    return ERROR_SUCCESS;
}

LONG MemoryHive::valueNames(emulation::KeyId key, std::vector<std::wstring>& names) {
    names.clear();
    for (const StoredValue& value : keyOf(key).values) {
        names.push_back(value.name);
    }
    return ERROR_SUCCESS;
}

LONG MemoryHive::readValue(emulation::KeyId key, std::size_t index, DWORD& type, std::vector<unsigned char>& data) {
    const StoredValue& value = keyOf(key).values.at(index);
    type = value.type;
    data = value.data;
    return ERROR_SUCCESS;
}

LONG MemoryHive::addChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) {
    auto made = std::make_unique<Key>();
    made->name = name;
    made->lastWrite = emulation::systemTime();
    child = idOf(*made);
    keyOf(key).subkeys[emulation::upperCased(name)] = std::move(made);
    return ERROR_SUCCESS;
}

LONG MemoryHive::setValue(emulation::KeyId key, std::size_t index, const std::wstring& name, DWORD type,
                          const unsigned char* data, DWORD size) {
    std::vector<StoredValue>& values = keyOf(key).values;
    if (index == emulation::newValue) {
        values.push_back(StoredValue{name, type, {}});
        index = values.size() - 1;
    }
    values.at(index).type = type;
    values.at(index).data.assign(data, data + size);
    return ERROR_SUCCESS;
}

LONG MemoryHive::deleteValue(emulation::KeyId key, std::size_t index) {
    std::vector<StoredValue>& values = keyOf(key).values;
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(index));
    return ERROR_SUCCESS;
}

LONG MemoryHive::setLastWriteTime(emulation::KeyId key, const FILETIME& time) {
    keyOf(key).lastWrite = time;
    return ERROR_SUCCESS;
}

LONG MemoryHive::unmounted() {
    mounted = false;
    return ERROR_SUCCESS;
}

}  // namespace memplat
