// Writes the seeds of fuzz_log_replay into the folder given: small dirty
// hives with new-format and old-format logs made by the log writer, a torn
// base block, a clean hive beside logs, and a dirty hive without logs.
//   make_log_replay_seeds tests/fuzz/corpus/fuzz_log_replay
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "log_replay_input.h"
#include "log_writer.h"

namespace {

using logwriter::Bytes;

// An allocated cell, filled with `mark`, split off the start of the free
// cell of a bin other than the first.
Bytes withCell(Bytes hive, std::size_t bin, unsigned char mark) {
    const std::size_t cell = 4096 + bin * 4096 + 32;
    const unsigned char allocated[4] = {0xE0, 0xFF, 0xFF, 0xFF};  // -0x20
    const unsigned char rest[4] = {0xC0, 0x0F, 0, 0};               // 4096 - 32 - 0x20
    std::memcpy(hive.data() + cell, allocated, 4);
    std::memset(hive.data() + cell + 4, mark, 0x1C);
    std::memcpy(hive.data() + cell + 0x20, rest, 4);
    return hive;
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

bool writeSeed(const std::string& folder, const char* name, const std::vector<std::string>& parts) {
    std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
    const std::string input = fuzz::joinLogReplayInput(parts);
    out.write(input.data(), static_cast<std::streamsize>(input.size()));
    return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    Bytes h0 = logwriter::minimalHive(2);
    logwriter::setSequences(h0, 5, 5);
    const Bytes h1 = withCell(h0, 1, 0x11);
    Bytes h2 = h1;
    const Bytes third = logwriter::minimalHive(3);
    h2.insert(h2.end(), third.begin() + static_cast<std::ptrdiff_t>(h1.size()), third.end());
    h2[40] = 0;
    h2[41] = 0x30;  // hive bins size 3 * 4096
    h2 = withCell(h2, 2, 0x22);

    const logwriter::DirtyHive newLog = logwriter::dirtyWithNewLog(h0, h1);
    const logwriter::DirtyHive oldLog = logwriter::dirtyWithOldLog(h0, h1);
    const Bytes log2 = logwriter::newFormatLog(h0, 5, {logwriter::entryFor(h0, h1, 5)});
    const Bytes log1 = logwriter::newFormatLog(h1, 6, {logwriter::entryFor(h1, h2, 6)});
    Bytes torn = newLog.primary;
    torn[300] ^= 0xFF;

    bool ok = writeSeed(folder, "new-one-log", {text(newLog.primary), text(newLog.log1), text(newLog.log2)});
    ok = writeSeed(folder, "new-two-logs-grown", {text(newLog.primary), text(log1), text(log2)}) && ok;
    ok = writeSeed(folder, "old-format", {text(oldLog.primary), text(oldLog.log1)}) && ok;
    ok = writeSeed(folder, "torn-base-block", {text(torn), text(newLog.log1)}) && ok;
    ok = writeSeed(folder, "clean-with-logs", {text(h0), text(newLog.log1), "", text(oldLog.log1)}) && ok;
    ok = writeSeed(folder, "dirty-no-logs", {text(newLog.primary)}) && ok;
    if (!ok) {
        std::fprintf(stderr, "cannot write the seeds into %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
