// Any bytes as one user's ntuser.dat and its transaction logs on an offline
// volume (the input split as fuzz_log_replay splits it: the primary, then
// NTUSER.DAT.LOG1, .LOG2 and .LOG), then the load, the value operation and
// the unload exactly as a run does them for a logged-off user. A file that
// fails to load is left byte-identical, and so are its logs; a value set and
// written back is in the file for the next load, which is clean and numbered
// above every sequence number in the primary and its logs, and the value can
// be deleted again. A log is written only where its hive was written in
// place through it, and then it replays the old hive to the new one.
//
// Changes to a base block or a log entry almost always break its checksum or
// hashes, which the load checks first; so each input is also tried with
// those repaired, which lets the other fields (sequence numbers, bins size,
// root cell, page references) reach the replay and hivex.
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "app/options.h"
#include "fuzz_support.h"
#include "hives/hive_access.h"
#include "hives/privileges.h"
#include "log_replay_input.h"
#include "log_writer.h"
#include "ops/processing.h"
#include "platform/offline/offline_platform.h"
#include "unique_hive.h"
#include "platform/winapi.h"
#include "sample_volume.h"

namespace {

const wchar_t* const mountName = L"S-1-5-21-1-2-3-1002";
const wchar_t* const profileDirectory = L"C:\\Users\\Bob";
const wchar_t* const subKey = L"Software\\Tarnwick";
const wchar_t* const valueName = L"Fuzz";
const std::wstring valueText = L"fuzzed value \u00e9";
const char* const valueUtf8 = "fuzzed value \xc3\xa9";
std::string hivePath;
const char* const logSuffixes[] = {".LOG1", ".LOG2", ".LOG"};

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush()) {
        fuzz::fail("cannot write " + path);
    }
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// As a new process starts: no hive loaded, no handle open, privileges enabled.
void freshProcess() {
    offline::resetRegistry();
    offline::resetPlatformState();
    if (!enableNeededPrivileges()) {
        fuzz::fail("the restore privilege cannot be enabled");
    }
}

struct Pass {
    bool called = false;
    std::string log;
    bool loadFailed() const { return contains(log, "RegLoadKeyW() failed"); }
    bool operationFailed() const { return contains(log, "processingFunc:"); }
    bool unloadFailed() const { return contains(log, "RegUnLoadKeyW() failed"); }
};

Pass runOperation(Operation operation) {
    freshProcess();
    CommandLineArgs args;
    args.operation = operation;
    args.subKey = subKey;
    args.valueName = valueName;
    args.valueSZ = valueText;
    Pass pass;
    maybeLoadUserHiveAndCallCallback(mountName, profileDirectory, UserHive::profile, [&](HKEY root) {
        pass.called = true;
        processingFunc(args, root);
    });
    if (offline::openKeyHandleCount() != 0) {
        fuzz::fail("key handles left open");
    }
    pass.log = fuzz::takeLog();
    return pass;
}

// The value as a new load of the file sees it.
std::optional<std::wstring> valueInFile() {
    freshProcess();
    const std::wstring file = std::wstring(profileDirectory) + L"\\NTUSER.DAT";
    const LONG loaded = RegLoadKeyW(HKEY_USERS, L"TarnwickFuzzCheck", file.c_str());
    if (loaded != ERROR_SUCCESS) {
        fuzz::fail("a hive that was written back does not load again, error " + std::to_string(loaded));
    }
    wchar_t buffer[64] = {};
    DWORD bytes = sizeof(buffer);
    DWORD type = 0;
    const std::wstring path = std::wstring(L"TarnwickFuzzCheck\\") + subKey;
    const LONG got = RegGetValueW(HKEY_USERS, path.c_str(), valueName, RRF_RT_REG_SZ, &type, buffer, &bytes);
    const LONG unloaded = RegUnLoadKeyW(HKEY_USERS, L"TarnwickFuzzCheck");
    if (unloaded != ERROR_SUCCESS) {
        fuzz::fail("unloading a hive that was only read failed, error " + std::to_string(unloaded));
    }
    if (got != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::wstring(buffer);
}

// The value as hivex reads the file, for a hive that no writable load takes.
std::optional<std::string> valueReadByHivex() {
    const UniqueHive hive(hivex_open(hivePath.c_str(), 0));
    if (!hive) {
        fuzz::fail("hivex cannot read a hive that was written back");
    }
    hive_node_h node = hivex_root(hive.get());
    for (const char* name : {"Software", "Tarnwick"}) {
        node = node != 0 ? hivex_node_get_child(hive.get(), node, name) : 0;
    }
    const hive_value_h value = node != 0 ? hivex_node_get_value(hive.get(), node, "Fuzz") : 0;
    if (value == 0) {
        return std::nullopt;
    }
    const UniqueAny<char*, &std::free, nullptr> text(hivex_value_string(hive.get(), value));
    return text ? std::optional<std::string>(text.get()) : std::nullopt;
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// Every log file as it is now, absent ones marked as such.
std::string logsNow() {
    std::string all;
    for (const char* suffix : logSuffixes) {
        const std::string path = hivePath + suffix;
        all += exists(path) ? "[" + fileBytes(path) + "]" : "-";
    }
    return all;
}

ino_t inodeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

logwriter::Bytes asBytes(const std::string& text) { return logwriter::Bytes(text.begin(), text.end()); }

// A log is written only by a write of its hive in place (the hive is still
// the same file), and must then replay the hive before it to the hive after.
void checkLogsWritten(const std::string& logsBefore, const std::string& hiveBefore, ino_t inodeBefore) {
    if (logsNow() == logsBefore) {
        return;
    }
    if (inodeOf(hivePath) != inodeBefore) {
        fuzz::fail("a log file was written, and the hive was replaced");
    }
    std::vector<logwriter::Log> logs;
    const hivelog::LogRole roles[] = {hivelog::LogRole::log1, hivelog::LogRole::log2, hivelog::LogRole::log};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string path = hivePath + logSuffixes[i];
        if (exists(path)) {
            logs.push_back({roles[i], asBytes(fileBytes(path))});
        }
    }
    const std::string problem = logwriter::inPlaceProblem(asBytes(hiveBefore), asBytes(fileBytes(hivePath)), logs);
    if (!problem.empty()) {
        fuzz::fail("a hive written in place: " + problem);
    }
}

// A hive written back is clean and numbered above every sequence number in
// the primary it replaced (when that one's base block was sound) and in the
// logs.
void checkWrittenBaseBlock(const std::vector<std::string>& parts) {
    const std::string written = fileBytes(hivePath);
    const auto* header = reinterpret_cast<const unsigned char*>(written.data());
    if (written.size() < 4096 || !hivelog::baseBlockIsClean(hivelog::ByteView(header, 4096))) {
        fuzz::fail("a hive written back is not clean");
    }
    const std::uint32_t sequence = fuzz::readInputDword(written, 4);
    std::vector<hivelog::LogFile> logs;
    const hivelog::LogRole roles[] = {hivelog::LogRole::log1, hivelog::LogRole::log2, hivelog::LogRole::log};
    for (std::size_t i = 1; i < parts.size(); ++i) {
        logs.push_back({roles[i - 1], parts[i]});
    }
    std::uint32_t highest = hivelog::highestLogSequence(logs);
    const std::string& primary = parts[0];
    if (primary.size() >= 4096 && primary.compare(0, 4, "regf") == 0 &&
        hivelog::baseBlockChecksum(reinterpret_cast<const unsigned char*>(primary.data())) ==
            fuzz::readInputDword(primary, 508)) {
        highest = std::max({highest, fuzz::readInputDword(primary, 4), fuzz::readInputDword(primary, 8)});
    }
    if (sequence <= highest) {
        fuzz::fail("a hive written back is numbered " + std::to_string(sequence) + ", not above " +
                   std::to_string(highest));
    }
}

void exercise(const std::vector<std::string>& parts) {
    const std::string& bytes = parts[0];
    writeFile(hivePath, bytes);
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string path = hivePath + logSuffixes[i];
        if (i + 1 < parts.size()) {
            writeFile(path, parts[i + 1]);
        } else {
            std::remove(path.c_str());
        }
    }
    const std::string logs = logsNow();
    const ino_t inode = inodeOf(hivePath);
    const Pass set = runOperation(Operation::setValue);
    const std::string after = fileBytes(hivePath);
    if (set.loadFailed() || set.unloadFailed()) {
        if (logsNow() != logs) {
            fuzz::fail("a log file was written, and the hive was not:\n" + set.log);
        }
    } else {
        checkLogsWritten(logs, bytes, inode);
    }
    if (set.loadFailed()) {
        if (set.called) {
            fuzz::fail("the value operation ran on a hive that failed to load");
        }
        if (after != bytes) {
            fuzz::fail("a hive file that failed to load was changed");
        }
        return;
    }
    if (!set.called) {
        fuzz::fail("the hive loaded but the value operation did not run:\n" + set.log);
    }
    if (set.unloadFailed()) {
        // The unload drops the changes and says so; the file is as it was.
        if (after != bytes) {
            fuzz::fail("a failed write-back changed the hive file:\n" + set.log);
        }
        return;
    }
    if (set.operationFailed()) {
        return;  // A hive that holds a broken key on the path; the status is logged.
    }
    checkWrittenBaseBlock(parts);
    // Numbered with the last sequence number there is (its logs held the one
    // below), the hive takes no further write: the next writable load refuses
    // it with 50 and leaves it as it is.
    if (fuzz::readInputDword(after, 4) == 0xFFFFFFFFu) {
        if (valueReadByHivex() != std::string(valueUtf8)) {
            fuzz::fail("the value set and written back is not in the file:\n" + set.log);
        }
        const Pass del = runOperation(Operation::deleteValue);
        if (!contains(del.log, "error = 50") || del.called || fileBytes(hivePath) != after) {
            fuzz::fail("a hive numbered 0xFFFFFFFF was not refused untouched:\n" + del.log);
        }
        return;
    }
    if (valueInFile() != valueText) {
        fuzz::fail("the value set and written back is not in the file:\n" + set.log);
    }
    const std::string logsSet = logsNow();
    const ino_t inodeSet = inodeOf(hivePath);
    const Pass del = runOperation(Operation::deleteValue);
    if (del.loadFailed() || del.operationFailed() || del.unloadFailed()) {
        fuzz::fail("deleting the value from a hive tarnwick wrote failed:\n" + del.log);
    }
    checkLogsWritten(logsSet, after, inodeSet);
    if (valueInFile().has_value()) {
        fuzz::fail("the deleted value is still in the file");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string drive = fuzz::scratchFolder() + "/volume";
    std::string error;
    if (!sample::makeSampleVolume(drive, error)) {
        fuzz::fail("sample volume: " + error);
    }
    setenv(offline::systemDriveVariable, drive.c_str(), 1);
    hivePath = drive + "/Users/bob/NTUSER.DAT";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::exerciseLogReplayInput(data, size, exercise);
    return 0;
}
