// Whether a hive is dirty, which of its logs and which format apply, and the
// checks the replayed hive must pass before anyone may use it.
#include "hive_log.h"

#include <algorithm>

#include "replay_internal.h"

namespace hivelog {

using namespace detail;

namespace {

ReplayResult refused(ReplayResult result, Refusal refusal, const std::string& reason) {
    result.outcome = ReplayOutcome::refused;
    result.refusal = refusal;
    result.reason = reason;
    result.hive.clear();
    return result;
}

int roleRank(LogRole role) {
    switch (role) {
        case LogRole::log1:
            return 0;
        case LogRole::log2:
            return 1;
        case LogRole::log:
            break;
    }
    return 2;
}

}  // namespace

std::uint32_t highestLogSequence(const std::vector<LogFile>& logs) {
    std::uint32_t highest = 0;
    for (const LogFile& log : logs) {
        const ByteView bytes = log.bytes;
        // A copy with the right checksum counts even when its two numbers
        // differ: a higher number is always safe to stay above.
        if (bytes.size >= logSectorSize && hasSignature(bytes.data, "regf") &&
            baseBlockChecksum(bytes.data) == readDword(bytes.data + checksumAt)) {
            highest = std::max({highest, readDword(bytes.data + primarySequenceAt),
                                readDword(bytes.data + secondarySequenceAt)});
        }
        // Entries count whatever the copy says and whether or not a replay
        // would reach them: Windows may take any entry whose hashes are right.
        for (const std::uint32_t sequence : newFormatEntrySequences(bytes)) {
            highest = std::max(highest, sequence);
        }
    }
    return highest;
}

ReplayResult replayHive(ByteView primary, const std::vector<LogFile>& logs) {
    ReplayResult result;
    result.highestLogSequence = highestLogSequence(logs);
    if (primary.size < baseBlockSize) {
        return refused(std::move(result), Refusal::notAHive, "the file is shorter than a base block");
    }
    // Dirty means a wrong checksum or differing sequence numbers (the notes,
    // "Dirty state of a hive"). A clean hive's logs are ignored, whatever
    // entries they hold.
    const bool sound = hasSignature(primary.data, "regf") &&
                       baseBlockChecksum(primary.data) == readDword(primary.data + checksumAt);
    if (sound && readDword(primary.data + primarySequenceAt) == readDword(primary.data + secondarySequenceAt)) {
        result.outcome = ReplayOutcome::clean;
        return result;
    }

    std::vector<LogSource> newLogs;
    std::vector<LogSource> oldLogs;
    bool anyLog = false;
    std::uint64_t sizeLimit = primary.size;
    std::vector<const LogFile*> ordered;
    for (const LogFile& log : logs) {
        ordered.push_back(&log);
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const LogFile* a, const LogFile* b) { return roleRank(a->role) < roleRank(b->role); });
    for (const LogFile* log : ordered) {
        anyLog = anyLog || log->bytes.size != 0;
        sizeLimit += log->bytes.size;
        // Windows "self-heals" a log whose copy is torn and may still use it;
        // we do not, since nothing then ties the log to this primary. Logs of
        // Windows 2000 (file type 2) are not replayed either.
        const LogCopy copy = readLogCopy(log->bytes);
        if (!copy.sound) {
            continue;
        }
        if (copy.fileType == newLogFileType) {
            newLogs.push_back({log, copy});
        } else if (copy.fileType == oldLogFileType) {
            oldLogs.push_back({log, copy});
        }
    }
    if (!anyLog) {
        return refused(std::move(result), Refusal::noLogs, "the hive is dirty and has no transaction log");
    }

    // A hive written by Windows 8.1 or later may still have an old-format log
    // from before an upgrade beside its new ones. When a new-format log is
    // there, it alone decides: an old log's time cannot tell stale pages from
    // fresh ones, since Windows 8.1 no longer updates that time.
    Recovery recovery;
    if (!newLogs.empty()) {
        result.format = LogFormat::newFormat;
        recovery = replayNewFormat(primary, sound, newLogs, sizeLimit);
    } else if (!oldLogs.empty()) {
        result.format = LogFormat::oldFormat;
        recovery = replayOldFormat(primary, sound, oldLogs, sizeLimit);
    } else {
        return refused(std::move(result), Refusal::noUsableLog, "no log file has a sound base block copy");
    }
    if (recovery.refusal != Refusal::none) {
        return refused(std::move(result), recovery.refusal, recovery.reason);
    }

    // Windows replaces a torn bin with a dummy one during a new-format
    // recovery, and stops an old-format one at a torn bin, and carries on
    // either way; we refuse instead, since a hive that lost part of its bins
    // has lost keys that a write-back would then drop for good.
    std::string why;
    if (!checkBins(recovery.hive, &why)) {
        return refused(std::move(result), Refusal::inconsistent, "the replayed hive is not sound: " + why);
    }
    unsigned char* base = recovery.hive.data();
    const std::uint32_t highest = std::max({result.highestLogSequence, readDword(base + primarySequenceAt),
                                            readDword(base + secondarySequenceAt)});
    if (highest == 0xFFFFFFFFu) {
        return refused(std::move(result), Refusal::sequenceExhausted, "no sequence number is left above the logs'");
    }
    // The recovered hive carries the numbers it would have once written, as
    // Windows' own recovery leaves it, above every number in the logs.
    makeCleanBaseBlock(base, highest + 1, readQword(base + lastWrittenAt));
    result.outcome = ReplayOutcome::replayed;
    result.entriesApplied = recovery.applied;
    result.reason = (result.format == LogFormat::newFormat ? "log entries applied: " : "dirty pages applied: ") +
                    std::to_string(recovery.applied);
    result.hive = std::move(recovery.hive);
    return result;
}

}  // namespace hivelog
