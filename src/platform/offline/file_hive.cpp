#include "platform/offline/file_hive.h"

#include <cstring>

#include "platform/emulation/provider.h"
#include "platform/linux/utf.h"

namespace offline {

namespace {

regf::KeyRef refOf(emulation::KeyId key) { return static_cast<regf::KeyRef>(key); }

// A KeyId that no KeyRef can be, so that an id from elsewhere names no key.
emulation::KeyId idOf(regf::KeyRef key) { return emulation::KeyId{key}; }

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

std::vector<unsigned char> apiBytesOf(DWORD type, std::vector<unsigned char>&& stored) {
    if (!isStringType(type)) {
        return std::move(stored);
    }
    const std::wstring text = wideFromUtf16le(stored.data(), stored.size() & ~std::size_t{1});
    std::vector<unsigned char> bytes(text.size() * sizeof(wchar_t));
    if (!bytes.empty()) {
        std::memcpy(bytes.data(), text.data(), bytes.size());
    }
    return bytes;
}

}  // namespace

LONG FileHive::root(emulation::KeyId& out) {
    out = idOf(engine().root());
    return ERROR_SUCCESS;
}

LONG FileHive::findChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) {
    regf::KeyRef found = 0;
    const LONG status = engine().findChild(refOf(key), utf16FromWide(name), found);
    if (status == ERROR_SUCCESS) {
        child = idOf(found);
    }
    return status;
}

LONG FileHive::childAt(emulation::KeyId key, DWORD index, bool& exists, std::wstring& name, FILETIME& lastWrite) {
    std::uint32_t count = 0;
    LONG status = engine().childCount(refOf(key), count);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    exists = index < count;
    if (!exists) {
        return ERROR_SUCCESS;
    }
    regf::KeyRef child = 0;
    std::u16string units;
    std::uint64_t time = 0;
    if ((status = engine().childAt(refOf(key), index, child)) != ERROR_SUCCESS ||
        (status = engine().keyName(child, units)) != ERROR_SUCCESS ||
        (status = engine().lastWriteTime(child, time)) != ERROR_SUCCESS) {
        return status;
    }
    name = wideFromUtf16(units);
    lastWrite.dwLowDateTime = static_cast<DWORD>(time);
    lastWrite.dwHighDateTime = static_cast<DWORD>(time >> 32);
    return ERROR_SUCCESS;
}

LONG FileHive::valueNames(emulation::KeyId key, std::vector<std::wstring>& names) {
    std::uint32_t count = 0;
    LONG status = engine().valueCount(refOf(key), count);
    names.clear();
    std::u16string units;
    for (std::uint32_t i = 0; status == ERROR_SUCCESS && i < count; ++i) {
        if ((status = engine().valueName(refOf(key), i, units)) == ERROR_SUCCESS) {
            names.push_back(wideFromUtf16(units));
        }
    }
    return status;
}

LONG FileHive::findValue(emulation::KeyId key, const std::wstring& name, std::size_t& index) {
    bool found = false;
    std::uint32_t at = 0;
    const LONG status = engine().findValue(refOf(key), utf16FromWide(name), found, at);
    if (status == ERROR_SUCCESS) {
        index = found ? at : emulation::newValue;
    }
    return status;
}

LONG FileHive::readValue(emulation::KeyId key, std::size_t index, DWORD& type, std::vector<unsigned char>& data) {
    std::uint32_t stored = 0;
    std::vector<unsigned char> bytes;
    const LONG status = engine().readValue(refOf(key), static_cast<std::uint32_t>(index), stored, bytes);
    if (status == ERROR_SUCCESS) {
        type = stored;
        data = apiBytesOf(type, std::move(bytes));
    }
    return status;
}

LONG FileHive::addChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) {
    regf::KeyRef made = 0;
    const LONG status = engine().addChild(refOf(key), utf16FromWide(name), made);
    if (status == ERROR_SUCCESS) {
        child = idOf(made);
    }
    return status;
}

LONG FileHive::setValue(emulation::KeyId key, std::size_t index, const std::wstring& name, DWORD type,
                        const unsigned char* data, DWORD size) {
    const std::string bytes = hiveBytesOf(type, data, size);
    const std::uint32_t at = index == emulation::newValue ? regf::newValue : static_cast<std::uint32_t>(index);
    return engine().setValue(refOf(key), at, utf16FromWide(name), type, reinterpret_cast<const unsigned char*>(bytes.data()),
                             bytes.size());
}

LONG FileHive::deleteValue(emulation::KeyId key, std::size_t index) {
    return engine().deleteValue(refOf(key), static_cast<std::uint32_t>(index));
}

// The engine knows each key's parent; the key's own handle is checked there.
LONG FileHive::deleteTree(emulation::KeyId, emulation::KeyId child) { return engine().deleteKeyTree(refOf(child)); }

LONG FileHive::setLastWriteTime(emulation::KeyId key, const FILETIME& time) {
    return engine().setLastWriteTime(refOf(key),
                                     static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime);
}

// The hive is unloaded even when its write-back fails: the status tells the
// caller that the changes are lost, and the file is as it was.
LONG FileHive::unmounted() {
    if (!engine().changed()) {
        return ERROR_SUCCESS;
    }
    const FILETIME now = emulation::systemTime();
    return file_->writeBack(static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime);
}

}  // namespace offline
