// Shared by the offline tests: a fresh volume in a temporary folder per test,
// a registry and token as a new process has them, and independent readers of
// the hive files.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/winapi.h"

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

struct ToolRun {
    int exitCode = -1;
    std::string stdoutText;
    std::string stderrText;
    std::string log;
};
// Runs the Linux tarnwick with the arguments; drive is TARNWICK_SYSTEM_DRIVE
// (unset when nullopt). The log is read from a TMPDIR of its own.
ToolRun runTool(const std::vector<std::string>& arguments, const std::optional<std::string>& drive);
