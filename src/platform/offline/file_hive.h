// A hive of the offline volume as the emulated registry sees it: the keys and
// values of a hive file, read and changed through hivex. What this store
// cannot write as Windows would read it, it refuses before anything changes.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/emulation/hive.h"
#include "platform/offline/hive_file.h"

namespace offline {

class FileHive : public emulation::Hive {
public:
    explicit FileHive(std::unique_ptr<HiveFile> file) : file_(std::move(file)) {}

    LONG root(emulation::KeyId& out) override;
    LONG findChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) override;
    LONG childAt(emulation::KeyId key, DWORD index, bool& exists, std::wstring& name, FILETIME& lastWrite) override;
    LONG valueNames(emulation::KeyId key, std::vector<std::wstring>& names) override;
    LONG readValue(emulation::KeyId key, std::size_t index, DWORD& type, std::vector<unsigned char>& data) override;
    bool writable() const override { return file_->writable(); }
    LONG checkNewKeyName(const std::wstring& name) override;
    LONG checkValueData(DWORD type, const unsigned char* data, DWORD size) override;
    LONG addChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) override;
    LONG setValue(emulation::KeyId key, std::size_t index, const std::wstring& name, DWORD type,
                  const unsigned char* data, DWORD size) override;
    LONG deleteValue(emulation::KeyId key, std::size_t index) override;
    LONG deleteTree(emulation::KeyId key, emulation::KeyId child) override;
    LONG setLastWriteTime(emulation::KeyId key, const FILETIME& time) override;
    LONG unmounted() override;

private:
    // A value as the hive holds it, kept to rewrite the key's value list.
    struct StoredValue {
        std::string name;  // UTF-8, as hivex takes it
        DWORD type = REG_NONE;  // any number a hive holds, see typeNumber
        std::string data;  // as stored: text in UTF-16LE
    };
    LONG readValues(hive_node_h node, std::vector<StoredValue>& out) const;
    LONG writeValues(hive_node_h node, const std::vector<StoredValue>& values);
    bool needsBigData(std::size_t size) const;
    bool holdsBigData(const std::vector<StoredValue>& values) const;

    std::unique_ptr<HiveFile> file_;
    // Keys deleted by deleteTree: hivex never reuses a cell it freed, so no
    // later key can have the offset of one of these.
    std::set<hive_node_h> deleted_;
};

}  // namespace offline
