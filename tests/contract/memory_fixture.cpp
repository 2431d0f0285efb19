// The contract's fixture over the in-memory platform.
#include <algorithm>

#include "platform/memory/memory_platform.h"
#include "registry_fixture.h"

namespace {

std::vector<std::uint8_t> dataOf(const ValueLayout& v) {
    if (v.type == REG_DWORD) {
        return {static_cast<std::uint8_t>(v.number), static_cast<std::uint8_t>(v.number >> 8),
                static_cast<std::uint8_t>(v.number >> 16), static_cast<std::uint8_t>(v.number >> 24)};
    }
    std::vector<std::uint8_t> data((v.text.size() + 1) * sizeof(wchar_t));
    std::copy_n(reinterpret_cast<const std::uint8_t*>(v.text.c_str()), data.size(), data.begin());
    return data;
}

class MemoryFixture : public RegistryFixture {
public:
    std::vector<std::wstring> prepare(const std::vector<ValueLayout>& machineValues,
                                      const std::vector<HiveLayout>& hives) override {
        memplat::reset();
        const std::wstring base = L"Software\\TarnwickContract";
        memplat::createKey(HKEY_LOCAL_MACHINE, base);
        for (const ValueLayout& v : machineValues) {
            memplat::setValue(HKEY_LOCAL_MACHINE, base + L"\\" + v.key, v.name, v.type, dataOf(v));
        }
        std::vector<std::wstring> files;
        for (std::size_t i = 0; i < hives.size(); ++i) {
            const std::wstring file = L"C:\\Users\\contract" + std::to_wstring(i) + L"\\NTUSER.DAT";
            memplat::addHiveFile(file);
            for (const std::wstring& key : hives[i].keys) {
                memplat::createHiveKey(file, key);
            }
            for (const ValueLayout& v : hives[i].values) {
                memplat::setHiveValue(file, v.key, v.name, v.type, dataOf(v));
            }
            files.push_back(file);
        }
        return files;
    }
    std::wstring missingFilePath() override { return L"C:\\Users\\contract0\\missing.dat"; }
    bool fileExists(const std::wstring& path) override { return memplat::hiveFileExists(path); }
};

}  // namespace

RegistryFixture& registryFixture() {
    static MemoryFixture fixture;
    return fixture;
}
