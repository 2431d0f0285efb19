// The keys and values of a hive file, through hivex. Text is UTF-16LE in the
// file and wchar_t at the API; names are UTF-8 at hivex's API.
#include "platform/offline/file_hive.h"

#include <cerrno>
#include <cstring>

#include "platform/emulation/names.h"
#include "platform/emulation/provider.h"
#include "platform/linux/unique_handle.h"
#include "platform/linux/utf.h"

namespace offline {

namespace {

// Above this size Windows stores value data in segments ("big data") in hives
// of minor version 4 and later; hivex writes one cell, which Windows cannot read.
constexpr std::size_t largestSingleCellValue = 16344;

char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; }

bool isStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// String data of the API (wchar_t) to hive bytes (UTF-16LE) and back.
std::string hiveBytesOf(DWORD type, const unsigned char* data, DWORD size) {
    if (!isStringType(type)) {
        return std::string(reinterpret_cast<const char*>(data), size);
    }
    std::wstring text(size / sizeof(wchar_t), L'\0');
    if (!text.empty()) {
        std::memcpy(text.data(), data, text.size() * sizeof(wchar_t));
    }
    return utf16leFromWide(text);
}

std::vector<unsigned char> apiBytesOf(DWORD type, const char* stored, std::size_t size) {
    if (!isStringType(type)) {
        return std::vector<unsigned char>(stored, stored + size);
    }
    const std::wstring text = wideFromUtf16le(reinterpret_cast<const unsigned char*>(stored), size & ~std::size_t{1});
    std::vector<unsigned char> bytes(text.size() * sizeof(wchar_t));
    if (!bytes.empty()) {
        std::memcpy(bytes.data(), text.data(), bytes.size());
    }
    return bytes;
}

LONG statusOfHivexFailure() { return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_BADDB; }

// hivex hands a value's type over as its enum, which then holds whatever
// number the hive stores (applications use types of their own beyond
// REG_QWORD); C++ may not read such an enum, so the type travels as a number
// and is only ever copied into or out of hivex's enum as bytes.
static_assert(sizeof(hive_type) == sizeof(DWORD), "hivex's value type is a 32-bit number");
DWORD typeNumber(const hive_type& type) {
    DWORD number = 0;
    std::memcpy(&number, &type, sizeof number);
    return number;
}
void setTypeNumber(hive_type& type, DWORD number) { std::memcpy(&type, &number, sizeof number); }

}  // namespace

LONG FileHive::root(emulation::KeyId& out) {
    out = hivex_root(file_->handle());
    return out == 0 ? ERROR_BADDB : ERROR_SUCCESS;
}

// A subkey list or a subkey's name that cannot be read is ERROR_BADDB, so that
// a broken hive is not taken for a missing key.
LONG FileHive::findChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) {
    if (deleted_.count(key) != 0) {
        return ERROR_KEY_DELETED;
    }
    hive_h* h = file_->handle();
    UniqueMalloc<hive_node_h> children(hivex_node_children(h, key));
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
    for (const hive_node_h* at = children.get(); *at != 0; ++at) {
        const UniqueMalloc<char> stored(hivex_node_name(h, *at));
        if (!stored) {
            return ERROR_BADDB;
        }
        bool same = false;
        if (ascii) {
            std::size_t i = 0;
            while (i < wanted.size() && stored.get()[i] != '\0' && asciiUpper(stored.get()[i]) == wanted[i]) {
                ++i;
            }
            same = i == wanted.size() && stored.get()[i] == '\0';
        } else {
            same = emulation::sameName(wideFromUtf8(stored.get()), name);
        }
        if (same) {
            child = *at;
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG FileHive::childAt(emulation::KeyId key, DWORD index, bool& exists, std::wstring& name, FILETIME& lastWrite) {
    if (deleted_.count(key) != 0) {
        return ERROR_KEY_DELETED;
    }
    hive_h* h = file_->handle();
    UniqueMalloc<hive_node_h> children(hivex_node_children(h, key));
    if (!children) {
        return ERROR_BADDB;
    }
    std::size_t count = 0;
    while (children.get()[count] != 0) {
        ++count;
    }
    exists = index < count;
    if (!exists) {
        return ERROR_SUCCESS;
    }
    const hive_node_h child = children.get()[index];
    const UniqueMalloc<char> stored(hivex_node_name(h, child));
    name = stored ? wideFromUtf8(stored.get()) : std::wstring();
    std::uint64_t value = 0;
    if (!file_->keyTime(child, value)) {
        const std::int64_t stamp = hivex_node_timestamp(h, child);
        value = static_cast<std::uint64_t>(stamp > 0 ? stamp : 0);
    }
    lastWrite.dwLowDateTime = static_cast<DWORD>(value);
    lastWrite.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return ERROR_SUCCESS;
}

LONG FileHive::valueNames(emulation::KeyId key, std::vector<std::wstring>& names) {
    if (deleted_.count(key) != 0) {
        return ERROR_KEY_DELETED;
    }
    hive_h* h = file_->handle();
    errno = 0;
    UniqueMalloc<hive_value_h> values(hivex_node_values(h, key));
    if (!values) {
        return ERROR_BADDB;
    }
    names.clear();
    for (const hive_value_h* value = values.get(); *value != 0; ++value) {
        const UniqueMalloc<char> name(hivex_value_key(h, *value));
        if (!name) {
            return ERROR_BADDB;
        }
        names.push_back(wideFromUtf8(name.get()));
    }
    return ERROR_SUCCESS;
}

LONG FileHive::readValue(emulation::KeyId key, std::size_t index, DWORD& type, std::vector<unsigned char>& data) {
    if (deleted_.count(key) != 0) {
        return ERROR_KEY_DELETED;
    }
    hive_h* h = file_->handle();
    errno = 0;
    UniqueMalloc<hive_value_h> values(hivex_node_values(h, key));
    if (!values) {
        return ERROR_BADDB;
    }
    for (std::size_t i = 0; i < index; ++i) {
        if (values.get()[i] == 0) {
            return ERROR_BADDB;
        }
    }
    hive_type stored;
    setTypeNumber(stored, REG_NONE);
    size_t length = 0;
    const UniqueMalloc<char> bytes(values.get()[index] != 0 ? hivex_value_value(h, values.get()[index], &stored, &length)
                                                            : nullptr);
    if (!bytes) {
        return ERROR_BADDB;
    }
    type = typeNumber(stored);
    data = apiBytesOf(type, bytes.get(), length);
    return ERROR_SUCCESS;
}

// hivex files non-ASCII names under a hash and in an order that Windows does
// not use, so Windows might never find such a key.
LONG FileHive::checkNewKeyName(const std::wstring& name) {
    return emulation::isAscii(name) ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED;
}

LONG FileHive::checkValueData(DWORD type, const unsigned char* data, DWORD size) {
    return needsBigData(hiveBytesOf(type, data, size).size()) ? ERROR_NOT_SUPPORTED : ERROR_SUCCESS;
}

LONG FileHive::addChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) {
    if (deleted_.count(key) != 0) {
        return ERROR_KEY_DELETED;
    }
    errno = 0;
    child = hivex_node_add_child(file_->handle(), key, utf8FromWide(name).c_str());
    if (child == 0) {
        return statusOfHivexFailure();
    }
    file_->markChanged();
    return ERROR_SUCCESS;
}

LONG FileHive::setValue(emulation::KeyId key, std::size_t index, const std::wstring& name, DWORD type,
                        const unsigned char* data, DWORD size) {
    if (deleted_.count(key) != 0) {
        return ERROR_KEY_DELETED;
    }
    std::vector<StoredValue> values;
    const LONG status = readValues(key, values);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (holdsBigData(values)) {
        return ERROR_NOT_SUPPORTED;
    }
    const std::string bytes = hiveBytesOf(type, data, size);
    if (index == emulation::newValue) {
        values.push_back(StoredValue{utf8FromWide(name), type, bytes});
    } else if (index < values.size()) {
        values[index].type = type;
        values[index].data = bytes;
    } else {
        return ERROR_BADDB;
    }
    return writeValues(key, values);
}

LONG FileHive::deleteValue(emulation::KeyId key, std::size_t index) {
    if (deleted_.count(key) != 0) {
        return ERROR_KEY_DELETED;
    }
    std::vector<StoredValue> values;
    const LONG status = readValues(key, values);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    if (index >= values.size()) {
        return ERROR_BADDB;
    }
    // Rewriting the list would spoil the big-data values that stay.
    if (holdsBigData(values)) {
        return ERROR_NOT_SUPPORTED;
    }
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(index));
    return writeValues(key, values);
}

LONG FileHive::deleteTree(emulation::KeyId key, emulation::KeyId child) {
    if (deleted_.count(key) != 0 || deleted_.count(child) != 0) {
        return ERROR_KEY_DELETED;
    }
    hive_h* h = file_->handle();
    // Every key of the tree is gone once hivex has deleted it: none of them
    // may be stamped at the write-back, nor used again.
    std::vector<hive_node_h> tree{child};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        UniqueMalloc<hive_node_h> children(hivex_node_children(h, tree[i]));
        if (!children) {
            return ERROR_BADDB;
        }
        for (const hive_node_h* at = children.get(); *at != 0; ++at) {
            tree.push_back(*at);
        }
    }
    errno = 0;
    if (hivex_node_delete_child(h, child) != 0) {
        return statusOfHivexFailure();
    }
    for (const hive_node_h node : tree) {
        deleted_.insert(node);
        file_->forgetKeyTime(node);
    }
    file_->markChanged();
    return ERROR_SUCCESS;
}

LONG FileHive::setLastWriteTime(emulation::KeyId key, const FILETIME& time) {
    if (deleted_.count(key) != 0) {
        return ERROR_KEY_DELETED;
    }
    file_->setKeyTime(key, static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime);
    return ERROR_SUCCESS;
}

// The hive is unloaded even when its write-back fails: the status tells the
// caller that the changes are lost, and the file is as it was.
LONG FileHive::unmounted() {
    if (!file_->changed()) {
        return ERROR_SUCCESS;
    }
    const FILETIME now = emulation::systemTime();
    return file_->writeBack(static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
}

LONG FileHive::readValues(hive_node_h node, std::vector<StoredValue>& out) const {
    hive_h* h = file_->handle();
    errno = 0;
    UniqueMalloc<hive_value_h> values(hivex_node_values(h, node));
    if (!values) {
        return ERROR_BADDB;
    }
    for (const hive_value_h* value = values.get(); *value != 0; ++value) {
        StoredValue stored;
        const UniqueMalloc<char> name(hivex_value_key(h, *value));
        size_t length = 0;
        hive_type type;
        setTypeNumber(type, REG_NONE);
        const UniqueMalloc<char> data(hivex_value_value(h, *value, &type, &length));
        if (!name || !data) {
            return ERROR_BADDB;
        }
        stored.type = typeNumber(type);
        stored.name = name.get();
        stored.data.assign(data.get(), length);
        out.push_back(std::move(stored));
    }
    return ERROR_SUCCESS;
}

LONG FileHive::writeValues(hive_node_h node, const std::vector<StoredValue>& values) {
    std::vector<hive_set_value> list(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        list[i].key = const_cast<char*>(values[i].name.c_str());
        setTypeNumber(list[i].t, values[i].type);
        list[i].len = values[i].data.size();
        list[i].value = const_cast<char*>(values[i].data.data());
    }
    errno = 0;
    if (hivex_node_set_values(file_->handle(), node, list.size(), list.data(), 0) != 0) {
        return statusOfHivexFailure();
    }
    file_->markChanged();
    return ERROR_SUCCESS;
}

bool FileHive::needsBigData(std::size_t size) const {
    return file_->minorVersion() >= 4 && size > largestSingleCellValue;
}

// hivex rewrites every value of a key as one cell each, so a key that holds
// a value Windows keeps as big data cannot be changed without spoiling it.
bool FileHive::holdsBigData(const std::vector<StoredValue>& values) const {
    for (const StoredValue& value : values) {
        if (needsBigData(value.data.size())) {
            return true;
        }
    }
    return false;
}

}  // namespace offline
