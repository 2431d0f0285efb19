// What our replay makes of a hive file and the logs beside it, for the crash
// tests: the whole hive as a load would use it, written to OUT.
//   replay_hive PRIMARY OUT
// Exit 0 when the hive is clean (OUT is the file as it is) or was replayed,
// 2 when the replay refuses it, 1 when the files cannot be read.
#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/offline/replay/hive_log.h"

namespace {

bool readFile(const std::string& path, std::vector<unsigned char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: replay_hive PRIMARY OUT\n";
        return 1;
    }
    const std::string primaryPath = argv[1];
    const std::size_t slash = primaryPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : primaryPath.substr(0, slash);
    const std::string name = slash == std::string::npos ? primaryPath : primaryPath.substr(slash + 1);
    std::vector<std::string> entries;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            entries.push_back(entry->d_name);
        }
        closedir(dir);
    }
    const hivelog::LogNames names = hivelog::findLogNames(name, entries);
    std::vector<unsigned char> primary;
    if (!readFile(primaryPath, primary)) {
        std::cerr << "cannot read " << primaryPath << "\n";
        return 1;
    }
    std::vector<std::vector<unsigned char>> bytes;
    std::vector<hivelog::LogRole> roles;
    for (const auto& [role, logName] : {std::pair{hivelog::LogRole::log1, names.log1},
                                        std::pair{hivelog::LogRole::log2, names.log2},
                                        std::pair{hivelog::LogRole::log, names.log}}) {
        if (logName.empty()) {
            continue;
        }
        bytes.emplace_back();
        roles.push_back(role);
        if (!readFile(folder + "/" + logName, bytes.back())) {
            std::cerr << "cannot read " << logName << "\n";
            return 1;
        }
    }
    std::vector<hivelog::LogFile> logs;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        logs.push_back({roles[i], hivelog::ByteView(bytes[i])});
    }
    const hivelog::ReplayResult result = hivelog::replayHive(primary, logs);
    if (result.outcome == hivelog::ReplayOutcome::refused) {
        std::cout << "refused: " << result.reason << "\n";
        return 2;
    }
    const std::vector<unsigned char>& hive = result.outcome == hivelog::ReplayOutcome::replayed ? result.hive : primary;
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(hive.data()), static_cast<std::streamsize>(hive.size()));
    std::cout << (result.outcome == hivelog::ReplayOutcome::replayed ? "replayed: " + result.reason : "clean") << "\n";
    return out ? 0 : 1;
}
