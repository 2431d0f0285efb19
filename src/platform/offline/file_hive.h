// A hive of the offline volume as the emulated registry sees it: the keys and
// values of a hive file, read and changed through tarnwick's hive engine.
// Names cross as UTF-16 units; string data as the API has it (wchar_t) above
// and as the file stores it (UTF-16LE) below.
#pragma once

#include <memory>
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
    LONG findValue(emulation::KeyId key, const std::wstring& name, std::size_t& index) override;
    LONG readValue(emulation::KeyId key, std::size_t index, DWORD& type, std::vector<unsigned char>& data) override;
    bool writable() const override { return file_->writable(); }
    LONG addChild(emulation::KeyId key, const std::wstring& name, emulation::KeyId& child) override;
    LONG setValue(emulation::KeyId key, std::size_t index, const std::wstring& name, DWORD type,
                  const unsigned char* data, DWORD size) override;
    LONG deleteValue(emulation::KeyId key, std::size_t index) override;
    LONG deleteTree(emulation::KeyId key, emulation::KeyId child) override;
    LONG setLastWriteTime(emulation::KeyId key, const FILETIME& time) override;
    LONG unmounted() override;

private:
    regf::Hive& engine() const { return file_->engine(); }

    std::unique_ptr<HiveFile> file_;
};

}  // namespace offline
