#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "log/log.h"

void TarnwickTest::SetUp() {
    // Table-driven tests call SetUp again for every case.
    TearDown();
    memplat::reset();
    char pattern[] = "/tmp/tarnwick-test-XXXXXX";
    tempDir_ = mkdtemp(pattern);
    setenv("TMPDIR", tempDir_.c_str(), 1);
    resetLogForTests();
}

void TarnwickTest::TearDown() {
    resetLogForTests();
    if (!tempDir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(tempDir_, ignored);
        tempDir_.clear();
    }
}

std::string TarnwickTest::logBytes() const {
    std::ifstream in(tempDir_ + "/tarnwick.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> TarnwickTest::logMessages() const {
    static const std::regex prefix(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} [+-]\d{4} )");
    std::vector<std::string> messages;
    const std::string bytes = logBytes();
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "log ends without CR LF: " << bytes.substr(start);
            break;
        }
        const std::string line = bytes.substr(start, end - start);
        if (!std::regex_search(line, prefix)) {
            ADD_FAILURE() << "line without time stamp prefix: " << line;
            messages.push_back(line);
        } else {
            messages.push_back(line.substr(26));
        }
        start = end + 2;
    }
    return messages;
}

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }
