// Shared by the offline tests: a fresh volume in a temporary folder per test,
// a registry and token as a new process has them, and independent readers of
// the hive files.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/winapi.h"
#include "sample_volume.h"

class OfflineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Host path of a path relative to the drive directory.
    std::string host(const std::string& relative) const { return drive_ + "/" + relative; }
    // An empty hive (minor version 5 unless told) at the relative path,
    // filled with the entries.
    void makeHive(const std::string& relative, std::uint32_t minorVersion = 5);
    // Files in a folder whose names contain the temporary mark.
    std::vector<std::string> temporaryFiles(const std::string& relativeFolder) const;

    std::string drive_;
};

bool enableRestorePrivilege();
std::string fileBytes(const std::string& path);
void writeBytes(const std::string& path, const std::string& bytes);

// A string value read with hivex; nullopt when the key or value is missing.
std::optional<std::string> hivexString(const std::string& file, const std::string& key, const std::string& name);
// The same read by libregf's regfexport, an independent regf reader.
std::optional<std::string> regfexportString(const std::string& file, const std::string& key, const std::string& name);

// Every key of a hive as hivex reads it, by path below the root ("" is the
// root, "Software\\App" below it), with its last-write time and its values
// (name -> type and data as stored). Empty when hivex cannot open the file.
struct HivexKey {
    std::int64_t lastWrite = 0;
    std::map<std::string, std::pair<int, std::string>> values;
    bool operator==(const HivexKey& other) const {
        return lastWrite == other.lastWrite && values == other.values;
    }
};
using HivexTree = std::map<std::string, HivexKey>;
HivexTree hivexTree(const std::string& file);

// Every key of a hive as libregf's regfexport prints it: by key path, the
// text of each value (name, type, size and data; without its position in
// the key's list, which a rewritten list may change). Empty when it fails.
using RegfTree = std::map<std::string, std::vector<std::string>>;
RegfTree regfexportTree(const std::string& file);

// The time now as Windows stamps keys: a FILETIME as one number.
std::uint64_t fileTimeNow();

// Little-endian fields of a file's bytes.
std::uint32_t dwordOf(const std::string& bytes, std::size_t at);
std::uint64_t qwordOf(const std::string& bytes, std::size_t at);

// Makes the hive file dirty as Windows leaves one whose change reached its
// log but not the file: the entries are added to a copy with hivex, the
// difference is written to the file named log1 (a path beside the hive) as
// one new-format entry, or as an old-format log; log2 is made empty, and the
// hive keeps its old bins with its sequence numbers one apart.
void makeDirty(const std::string& hive, const std::vector<sample::Entry>& change, const std::string& log1,
               const std::string& log2, bool oldFormat = false);

ino_t inodeOf(const std::string& path);

// Puts a new-format log beside a clean hive as Windows 8.1 and later leave
// one once the hive is written: its base block copy numbered one below the
// hive's, and (when `staleEntry`) one entry already in the hive.
void addNewFormatLog(const std::string& hive, const std::string& log, bool staleEntry = true);

// What an in-place write promises: the file `hive` is still the file it was
// (`inode`), clean, and its logs (found beside it as a load finds them)
// turn `before`, marked dirty as the write's first step to the file marks
// it, into hive bins byte-identical with the file's. Empty when it holds;
// otherwise what does not.
std::string inPlaceProblems(const std::string& before, const std::string& hive, ino_t inode);

struct ToolRun {
    int exitCode = -1;
    std::string stdoutText;
    std::string stderrText;
    std::string log;
};
// Runs the Linux tarnwick with the arguments; drive is TARNWICK_SYSTEM_DRIVE
// (unset when nullopt). The log is read from a TMPDIR of its own.
ToolRun runTool(const std::vector<std::string>& arguments, const std::optional<std::string>& drive);
