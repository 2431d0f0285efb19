// Shared by the unit tests: a fresh in-memory platform and a fresh log in a
// temporary directory of its own for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/memory/memory_platform.h"

class TarnwickTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The log file's bytes as they are now.
    std::string logBytes() const;
    // The log's lines without their time stamp prefix and line end. Fails the
    // test when a line lacks either.
    std::vector<std::string> logMessages() const;

    std::string tempDir_;
};

// Narrows ASCII text for comparisons with log messages.
std::string narrow(const std::wstring& text);
