// Any bytes as a primary hive file and its logs (see log_replay_input.h),
// replayed twice. The replay must not crash, must give the same result both
// times, and when it replays, the hive it gives must have a clean base block
// numbered above every sequence number in the logs and bins that pass the
// unit's own checks.
//
// Each log read by parts, as a clean hive's write-back reads it, must give
// numbers no lower than the whole log gives, for a hive numbered as the
// primary is.
//
// Each input is also tried with the base block checksums and the log
// entries' hashes repaired (log_replay_input.h).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "log_replay_input.h"
#include "platform/offline/replay/hive_log.h"
#include "platform/offline/replay/log_entry.h"

namespace {

using hivelog::LogRole;

std::uint32_t readDword(const std::string& bytes, std::size_t at) { return fuzz::readInputDword(bytes, at); }

bool sameResult(const hivelog::ReplayResult& a, const hivelog::ReplayResult& b) {
    return a.outcome == b.outcome && a.refusal == b.refusal && a.reason == b.reason && a.hive == b.hive &&
           a.highestLogSequence == b.highestLogSequence && a.format == b.format && a.entriesApplied == b.entriesApplied;
}

void exercise(const std::vector<std::string>& parts) {
    const LogRole roles[] = {LogRole::log1, LogRole::log2, LogRole::log};
    std::vector<hivelog::LogFile> logs;
    for (std::size_t i = 1; i < parts.size(); ++i) {
        logs.push_back({roles[i - 1], parts[i]});
    }
    const hivelog::ByteView primary(parts[0]);
    const hivelog::ReplayResult result = hivelog::replayHive(primary, logs);
    if (!sameResult(result, hivelog::replayHive(primary, logs))) {
        fuzz::fail("two replays of the same bytes differ");
    }
    if (result.highestLogSequence != hivelog::highestLogSequence(logs)) {
        fuzz::fail("the replay and highestLogSequence disagree on the highest sequence number");
    }
    const std::uint32_t floor = primary.size >= 8 ? readDword(parts[0], 4) : 0;
    for (const hivelog::LogFile& log : logs) {
        const hivelog::ByteView bytes = log.bytes;
        const auto read = [&](std::uint64_t offset, unsigned char* to, std::size_t length) {
            if (offset > bytes.size || length > bytes.size - offset) {
                fuzz::fail("a log read by parts was read past its end");
            }
            std::memcpy(to, bytes.data + offset, length);
            return true;
        };
        hivelog::LogNumbers numbers;
        std::uint32_t highestEntry = 0;
        const bool anyEntry = hivelog::highestEntrySequence({log}, highestEntry);
        if (!hivelog::readLogNumbers(read, bytes.size, floor, numbers) ||
            numbers.newFormat != hivelog::isNewFormatLog(bytes) ||
            std::max(floor, numbers.highest) < std::max(floor, hivelog::highestLogSequence({log})) ||
            (anyEntry && highestEntry >= floor && (!numbers.anyEntry || numbers.highestEntry < highestEntry))) {
            fuzz::fail("a log read by parts gives lower numbers than read whole");
        }
    }
    switch (result.outcome) {
        case hivelog::ReplayOutcome::clean:
            if (!result.hive.empty() || !hivelog::baseBlockIsClean(primary)) {
                fuzz::fail("a hive called clean is dirty, or came with bytes to use");
            }
            return;
        case hivelog::ReplayOutcome::refused:
            if (!result.hive.empty() || result.refusal == hivelog::Refusal::none || result.reason.empty()) {
                fuzz::fail("a refusal without a reason, or with bytes to use");
            }
            return;
        case hivelog::ReplayOutcome::replayed:
            break;
    }
    if (hivelog::baseBlockIsClean(primary)) {
        fuzz::fail("a clean hive was replayed");
    }
    if (!hivelog::baseBlockIsClean(result.hive)) {
        fuzz::fail("the replayed hive's base block is not clean");
    }
    const std::uint32_t sequence = readDword(std::string(result.hive.begin(), result.hive.begin() + 12), 8);
    if (sequence <= result.highestLogSequence) {
        fuzz::fail("the replayed hive is not numbered above its logs");
    }
    std::string why;
    if (!hivelog::checkBins(result.hive, &why)) {
        fuzz::fail("the replayed hive's bins fail the checks: " + why);
    }
    if (result.hive.size() < primary.size || result.entriesApplied == 0) {
        fuzz::fail("a replay shortened the file or applied nothing");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::exerciseLogReplayInput(data, size, exercise);
    return 0;
}
