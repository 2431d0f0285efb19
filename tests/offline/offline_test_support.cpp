#include "offline_test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <hivex.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/offline/offline_platform.h"
#include "platform/linux/unique_handle.h"
#include "platform/offline/hive_file.h"
#include "platform/offline/replay/hive_log.h"
#include "unique_hive.h"
#include "log_writer.h"
#include "sample_volume.h"

namespace fs = std::filesystem;

namespace {

std::string makeTemporaryFolder(const char* prefix) {
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return {};
    }
    return pattern;
}

std::string capture(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    return out;
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

}  // namespace

void OfflineTest::SetUp() {
    offline::resetRegistry();
    offline::resetPlatformState();
    drive_ = makeTemporaryFolder("tarnwick-offline");
    setenv(offline::systemDriveVariable, drive_.c_str(), 1);
    ASSERT_TRUE(enableRestorePrivilege());
}

void OfflineTest::TearDown() {
    offline::resetRegistry();
    std::error_code ignored;
    fs::remove_all(drive_, ignored);
}

void OfflineTest::makeHive(const std::string& relative, std::uint32_t minorVersion) {
    fs::create_directories(fs::path(host(relative)).parent_path());
    std::string error;
    ASSERT_TRUE(sample::writeEmptyHive(host(relative), minorVersion, error)) << error;
    ASSERT_TRUE(sample::fillHive(host(relative),
                                 {sample::text("Software\\App", "Owner", "someone"),
                                  sample::dword("Software\\App", "Count", 3), sample::key("Control Panel\\Desktop")},
                                 error))
        << error;
}

std::vector<std::string> OfflineTest::temporaryFiles(const std::string& relativeFolder) const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(host(relativeFolder))) {
        if (entry.path().filename().string().find(offline::temporaryMark) != std::string::npos) {
            found.push_back(entry.path().filename().string());
        }
    }
    return found;
}

bool enableRestorePrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return false;
    }
    TOKEN_PRIVILEGES p{};
    p.PrivilegeCount = 1;
    p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool ok = LookupPrivilegeValueW(nullptr, L"SeRestorePrivilege", &p.Privileges[0].Luid) &&
              AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr) && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return ok;
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeBytes(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::optional<std::string> hivexString(const std::string& file, const std::string& key, const std::string& name) {
    const UniqueHive hive(hivex_open(file.c_str(), 0));
    hive_h* h = hive.get();
    if (h == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> result;
    hive_node_h node = hivex_root(h);
    std::stringstream parts(key);
    std::string part;
    while (node != 0 && std::getline(parts, part, '\\')) {
        node = hivex_node_get_child(h, node, part.c_str());
    }
    const hive_value_h value = node != 0 ? hivex_node_get_value(h, node, name.c_str()) : 0;
    if (value != 0) {
        if (const UniqueMalloc<char> text{hivex_value_string(h, value)}) {
            result = text.get();
        }
    }
    return result;
}

std::optional<std::string> regfexportString(const std::string& file, const std::string& key, const std::string& name) {
    const std::string out = capture("regfexport " + quoted(file) + " 2>/dev/null");
    // regfexport prints "Key path: ROOT\<key>", then per value "Value: N <name>",
    // "Type: ...", "Data size: ...", "Data: <text>".
    const std::string keyLine = "Key path: ROOT\\" + key + "\n";
    std::size_t at = out.find(keyLine);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t end = out.find("\nKey path: ", at + keyLine.size());
    const std::string block = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
    std::istringstream lines(block);
    std::string line;
    bool inValue = false;
    while (std::getline(lines, line)) {
        if (line.rfind("Value: ", 0) == 0) {
            const std::size_t space = line.find(' ', 7);
            inValue = space != std::string::npos && line.substr(space + 1) == name;
        } else if (inValue && line.rfind("Data: ", 0) == 0) {
            return line.substr(6);
        } else if (inValue && line == "Data:") {
            return std::string();
        }
    }
    return std::nullopt;
}

ToolRun runTool(const std::vector<std::string>& arguments, const std::optional<std::string>& drive) {
    ToolRun run;
    const std::string tmp = makeTemporaryFolder("tarnwick-tool");
    const std::string errFile = tmp + "/stderr.txt";
    std::string command = "env -u " + std::string(offline::systemDriveVariable) + " TMPDIR=" + quoted(tmp);
    if (drive) {
        command += " " + std::string(offline::systemDriveVariable) + "=" + quoted(*drive);
    }
    command += " " + quoted(TARNWICK_BINARY);
    for (const std::string& a : arguments) {
        command += " " + quoted(a);
    }
    command += " 2>" + quoted(errFile) + "; echo \"exit=$?\"";
    const std::string out = capture(command);
    const std::size_t mark = out.rfind("exit=");
    if (mark != std::string::npos) {
        run.exitCode = std::atoi(out.c_str() + mark + 5);
        run.stdoutText = out.substr(0, mark);
    }
    run.stderrText = fileBytes(errFile);
    run.log = fileBytes(tmp + "/tarnwick.log");
    std::error_code ignored;
    fs::remove_all(tmp, ignored);
    return run;
}

namespace {

void walkHivex(hive_h* h, hive_node_h node, const std::string& path, HivexTree& tree, bool& ok) {
    HivexKey& key = tree[path];
    key.lastWrite = hivex_node_timestamp(h, node);
    const UniqueMalloc<hive_value_h> values(hivex_node_values(h, node));
    const UniqueMalloc<hive_node_h> children(hivex_node_children(h, node));
    if (!values || !children) {
        ok = false;
        return;
    }
    for (const hive_value_h* v = values.get(); *v != 0; ++v) {
        const UniqueMalloc<char> name(hivex_value_key(h, *v));
        hive_type type{};
        std::size_t length = 0;
        const UniqueMalloc<char> data(hivex_value_value(h, *v, &type, &length));
        if (!name || !data) {
            ok = false;
            return;
        }
        key.values[name.get()] = {static_cast<int>(type), std::string(data.get(), length)};
    }
    for (const hive_node_h* child = children.get(); *child != 0 && ok; ++child) {
        const UniqueMalloc<char> name(hivex_node_name(h, *child));
        if (!name) {
            ok = false;
            return;
        }
        walkHivex(h, *child, path.empty() ? name.get() : path + "\\" + name.get(), tree, ok);
    }
}

}  // namespace

HivexTree hivexTree(const std::string& file) {
    HivexTree tree;
    const UniqueHive hive(hivex_open(file.c_str(), 0));
    if (!hive) {
        return tree;
    }
    bool ok = true;
    walkHivex(hive.get(), hivex_root(hive.get()), "", tree, ok);
    if (!ok) {
        ADD_FAILURE() << "hivex cannot read every key and value of " << file;
        tree.clear();
    }
    return tree;
}

RegfTree regfexportTree(const std::string& file) {
    RegfTree tree;
    // regfexport writes a few bytes at a time: to a file, not a pipe.
    const std::string listing = file + ".regfexport.txt";
    capture("regfexport " + quoted(file) + " >" + quoted(listing) + " 2>/dev/null");
    std::istringstream lines(fileBytes(listing));
    std::remove(listing.c_str());
    std::string line;
    std::string* value = nullptr;
    std::vector<std::string>* key = nullptr;
    while (std::getline(lines, line)) {
        if (line.rfind("Key path: ", 0) == 0) {
            key = &tree[line.substr(10)];
            value = nullptr;
        } else if (key != nullptr && line.rfind("Value: ", 0) == 0) {
            // "Value: <position> <name>": the position goes.
            const std::size_t space = line.find(' ', 7);
            key->push_back("Value: " + (space == std::string::npos ? std::string() : line.substr(space + 1)));
            value = &key->back();
        } else if (value != nullptr && !line.empty()) {
            *value += "\n" + line;
        }
    }
    return tree;
}

std::uint64_t fileTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<std::uint64_t>(now.tv_sec) + 11644473600ULL) * 10000000ULL +
           static_cast<std::uint64_t>(now.tv_nsec) / 100;
}

std::uint32_t dwordOf(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes.at(at + static_cast<std::size_t>(i)));
    }
    return value;
}

std::uint64_t qwordOf(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint64_t>(dwordOf(bytes, at + 4)) << 32 | dwordOf(bytes, at);
}

void makeDirty(const std::string& hive, const std::vector<sample::Entry>& change, const std::string& log1,
               const std::string& log2, bool oldFormat) {
    const std::string copy = hive + ".after";
    fs::copy_file(hive, copy, fs::copy_options::overwrite_existing);
    std::string error;
    ASSERT_TRUE(sample::fillHive(copy, change, error)) << error;
    const std::string before = fileBytes(hive);
    const std::string after = fileBytes(copy);
    fs::remove(copy);
    const logwriter::Bytes old(before.begin(), before.end());
    const logwriter::Bytes changed(after.begin(), after.end());
    const logwriter::DirtyHive dirty =
        oldFormat ? logwriter::dirtyWithOldLog(old, changed) : logwriter::dirtyWithNewLog(old, changed);
    writeBytes(hive, std::string(dirty.primary.begin(), dirty.primary.end()));
    writeBytes(log1, std::string(dirty.log1.begin(), dirty.log1.end()));
    writeBytes(log2, std::string(dirty.log2.begin(), dirty.log2.end()));
}

ino_t inodeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

void addNewFormatLog(const std::string& hive, const std::string& log, bool staleEntry) {
    const std::string bytes = fileBytes(hive);
    logwriter::Bytes before(bytes.begin(), bytes.end());
    const std::uint32_t sequence = dwordOf(bytes, 8) - 1;
    std::vector<logwriter::Entry> entries;
    if (staleEntry) {
        entries.push_back(logwriter::entryFor(before, before, sequence));
    }
    const logwriter::Bytes made = logwriter::newFormatLog(before, sequence, entries);
    writeBytes(log, std::string(made.begin(), made.end()));
}

std::string inPlaceProblems(const std::string& before, const std::string& hive, ino_t inode) {
    if (inodeOf(hive) != inode) {
        return "the hive was not written in place: it is another file now";
    }
    const fs::path folder = fs::path(hive).parent_path();
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(folder)) {
        entries.push_back(entry.path().filename().string());
    }
    const hivelog::LogNames names = hivelog::findLogNames(fs::path(hive).filename().string(), entries);
    std::vector<logwriter::Log> logs;
    for (const auto& [role, name] : {std::pair{hivelog::LogRole::log1, names.log1},
                                     std::pair{hivelog::LogRole::log2, names.log2},
                                     std::pair{hivelog::LogRole::log, names.log}}) {
        if (!name.empty()) {
            const std::string bytes = fileBytes((folder / name).string());
            logs.push_back({role, logwriter::Bytes(bytes.begin(), bytes.end())});
        }
    }
    const std::string after = fileBytes(hive);
    return logwriter::inPlaceProblem(logwriter::Bytes(before.begin(), before.end()),
                                     logwriter::Bytes(after.begin(), after.end()), logs);
}
