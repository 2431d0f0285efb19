#include "platform/memory/memory_hive.h"

#include <iterator>

#include "platform/emulation/names.h"
#include "platform/emulation/provider.h"

namespace memplat {

// Keys made by the tests' own layout (not by a registry call, which stamps
// what it changes) get the time of the platform's clock.
MemoryHive::MemoryHive() {
    root_.lastWrite = emulation::systemTime();
    remember(root_);
}

MemoryHive::Key* MemoryHive::keyOf(emulation::KeyId id) const {
    const auto it = keys_.find(id);
    return it == keys_.end() ? nullptr : it->second;
}

emulation::KeyId MemoryHive::remember(Key& key) {
    key.id = nextId_++;
    keys_[key.id] = &key;
    return key.id;
}

void MemoryHive::forget(const Key& key) {
    for (const auto& entry : key.subkeys) {
        forget(*entry.second);
    }
    keys_.erase(key.id);
}

LONG MemoryHive::root(emulation::KeyId& out) {
    out = root_.id;
    return ERROR_SUCCESS;
}

LONG MemoryHive::findChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) {
    Key* const parent = keyOf(key);
    if (parent == nullptr) {
        return ERROR_KEY_DELETED;
    }
    auto it = parent->subkeys.find(emulation::upperCased(name));
    if (it == parent->subkeys.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    child = it->second->id;
    return ERROR_SUCCESS;
}

LONG MemoryHive::childAt(emulation::KeyId key, DWORD index, bool& exists, std::wstring& name, FILETIME& lastWrite) {
    const Key* const parent = keyOf(key);
    if (parent == nullptr) {
        return ERROR_KEY_DELETED;
    }
    exists = index < parent->subkeys.size();
    if (!exists) {
        return ERROR_SUCCESS;
    }
    const Key& child = *std::next(parent->subkeys.begin(), index)->second;
    name = child.name;
    lastWrite = child.lastWrite;
    return ERROR_SUCCESS;
}

LONG MemoryHive::valueNames(emulation::KeyId key, std::vector<std::wstring>& names) {
    const Key* const at = keyOf(key);
    if (at == nullptr) {
        return ERROR_KEY_DELETED;
    }
    names.clear();
    for (const StoredValue& value : at->values) {
        names.push_back(value.name);
    }
    return ERROR_SUCCESS;
}

LONG MemoryHive::readValue(emulation::KeyId key, std::size_t index, DWORD& type, std::vector<unsigned char>& data) {
    const Key* const at = keyOf(key);
    if (at == nullptr) {
        return ERROR_KEY_DELETED;
    }
    const StoredValue& value = at->values.at(index);
    type = value.type;
    data = value.data;
    return ERROR_SUCCESS;
}

LONG MemoryHive::addChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) {
    Key* const parent = keyOf(key);
    if (parent == nullptr) {
        return ERROR_KEY_DELETED;
    }
    auto made = std::make_unique<Key>();
    made->name = name;
    made->lastWrite = emulation::systemTime();
    child = remember(*made);
    parent->subkeys[emulation::upperCased(name)] = std::move(made);
    return ERROR_SUCCESS;
}

LONG MemoryHive::setValue(emulation::KeyId key, std::size_t index, const std::wstring& name, DWORD type,
                          const unsigned char* data, DWORD size) {
    Key* const at = keyOf(key);
    if (at == nullptr) {
        return ERROR_KEY_DELETED;
    }
    std::vector<StoredValue>& values = at->values;
    if (index == emulation::newValue) {
        values.push_back(StoredValue{name, type, {}});
        index = values.size() - 1;
    }
    values.at(index).type = type;
    values.at(index).data.assign(data, data + size);
    return ERROR_SUCCESS;
}

LONG MemoryHive::deleteValue(emulation::KeyId key, std::size_t index) {
    Key* const at = keyOf(key);
    if (at == nullptr) {
        return ERROR_KEY_DELETED;
    }
    at->values.erase(at->values.begin() + static_cast<std::ptrdiff_t>(index));
    return ERROR_SUCCESS;
}

LONG MemoryHive::deleteTree(emulation::KeyId key, emulation::KeyId child) {
    Key* const parent = keyOf(key);
    const Key* const doomed = keyOf(child);
    if (parent == nullptr || doomed == nullptr) {
        return ERROR_KEY_DELETED;
    }
    const auto it = parent->subkeys.find(emulation::upperCased(doomed->name));
    if (it == parent->subkeys.end() || it->second.get() != doomed) {
        return ERROR_FILE_NOT_FOUND;
    }
    forget(*doomed);
    parent->subkeys.erase(it);
    return ERROR_SUCCESS;
}

LONG MemoryHive::setLastWriteTime(emulation::KeyId key, const FILETIME& time) {
    Key* const at = keyOf(key);
    if (at == nullptr) {
        return ERROR_KEY_DELETED;
    }
    at->lastWrite = time;
    return ERROR_SUCCESS;
}

FILETIME MemoryHive::lastWriteTime(emulation::KeyId key) const {
    const Key* const at = keyOf(key);
    return at != nullptr ? at->lastWrite : FILETIME{};
}

LONG MemoryHive::unmounted() {
    mounted = false;
    return ERROR_SUCCESS;
}

}  // namespace memplat
