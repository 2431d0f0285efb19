#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "log/log.h"

namespace fuzz {

namespace {

std::string makeScratchFolder() {
    namespace fs = std::filesystem;
    // libFuzzer may end the process without running exit handlers, so a
    // caller that runs it can name a parent folder that it removes itself.
    const char* given = std::getenv("TARNWICK_FUZZ_SCRATCH");
    std::string base = given != nullptr && *given != '\0' ? given
                       : access("/dev/shm", W_OK) == 0   ? "/dev/shm"
                                                         : fs::temp_directory_path().string();
    std::string pattern = base + "/tarnwick-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("cannot make a scratch folder under " + base);
    }
    setenv("TMPDIR", pattern.c_str(), 1);
    return pattern;
}

}  // namespace

const std::string& scratchFolder() {
    // Never destroyed, so that the removal at exit can still read it.
    static const std::string* const folder = [] {
        auto* made = new std::string(makeScratchFolder());
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(scratchFolder(), ignored);
        });
        return made;
    }();
    return *folder;
}

std::string takeLog() {
    resetLogForTests();
    const std::string path = scratchFolder() + "/tarnwick.log";
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::remove(path.c_str());
    return bytes;
}

void fail(const std::string& message) {
    std::fprintf(stderr, "fuzz check failed: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz
