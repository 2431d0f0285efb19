// The contract's fixture over the offline platform: every test gets a fresh
// volume in a temporary folder, with real hive files made by the sample tool.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/offline/offline_platform.h"
#include "platform/linux/utf.h"
#include "registry_fixture.h"
#include "sample_volume.h"

namespace {

namespace fs = std::filesystem;

sample::Entry entryOf(const std::wstring& keyPrefix, const ValueLayout& v) {
    std::wstring key = keyPrefix;
    if (!v.key.empty()) {
        key += (key.empty() ? L"" : L"\\") + v.key;
    }
    if (v.type == REG_DWORD) {
        return sample::dword(utf8FromWide(key), utf8FromWide(v.name), v.number);
    }
    return sample::text(utf8FromWide(key), utf8FromWide(v.name), utf8FromWide(v.text), v.type);
}

// Stops the test program: a fixture that cannot lay out its volume would
// make every later check meaningless.
void require(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "offline fixture: %s\n", what.c_str());
        std::abort();
    }
}

class OfflineFixture : public RegistryFixture {
public:
    ~OfflineFixture() override {
        if (!drive_.empty()) {
            std::error_code ignored;
            fs::remove_all(drive_, ignored);
        }
    }

    std::vector<std::wstring> prepare(const std::vector<ValueLayout>& machineValues,
                                      const std::vector<HiveLayout>& hives) override {
        offline::resetRegistry();
        offline::resetPlatformState();
        std::error_code ignored;
        if (!drive_.empty()) {
            fs::remove_all(drive_, ignored);
        }
        std::string pattern = (fs::temp_directory_path() / "tarnwick-contract-XXXXXX").string();
        require(mkdtemp(pattern.data()) != nullptr, "cannot make a temporary folder");
        drive_ = pattern;
        setenv(offline::systemDriveVariable, drive_.c_str(), 1);

        std::string error;
        const fs::path config = fs::path(drive_) / "Windows/System32/config";
        fs::create_directories(config);
        std::vector<sample::Entry> software = {sample::key("TarnwickContract")};
        for (const ValueLayout& v : machineValues) {
            software.push_back(entryOf(L"TarnwickContract", v));
        }
        require(sample::writeEmptyHive((config / "SOFTWARE").string(), 5, error) &&
                    sample::fillHive((config / "SOFTWARE").string(), software, error),
                error);

        std::vector<std::wstring> files;
        for (std::size_t i = 0; i < hives.size(); ++i) {
            const fs::path folder = fs::path(drive_) / "Users" / ("contract" + std::to_string(i));
            fs::create_directories(folder);
            std::vector<sample::Entry> entries;
            for (const std::wstring& key : hives[i].keys) {
                entries.push_back(sample::key(utf8FromWide(key)));
            }
            for (const ValueLayout& v : hives[i].values) {
                entries.push_back(entryOf(L"", v));
            }
            const std::string file = (folder / "NTUSER.DAT").string();
            require(sample::writeEmptyHive(file, 5, error) && sample::fillHive(file, entries, error), error);
            files.push_back(L"C:\\Users\\contract" + std::to_wstring(i) + L"\\NTUSER.DAT");
        }
        fs::create_directories(fs::path(drive_) / "Users" / "contract0");
        return files;
    }

    std::wstring missingFilePath() override { return L"C:\\Users\\contract0\\missing.dat"; }

    bool fileExists(const std::wstring& windowsPath) override {
        // The fixture's own paths are all "C:\Users\...", spelled as on disk.
        std::string path = utf8FromWide(windowsPath.substr(3));
        for (char& c : path) {
            if (c == '\\') {
                c = '/';
            }
        }
        return fs::exists(fs::path(drive_) / path);
    }

private:
    std::string drive_;
};

}  // namespace

RegistryFixture& registryFixture() {
    static OfflineFixture fixture;
    return fixture;
}
