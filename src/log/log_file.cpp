#include "log/log_file.h"

LogFileVerdict judgeLogFile(const LogFileFacts& facts) {
    // A link is reported as a link even when it fails the other rules too:
    // it is the most telling reason.
    if (facts.link) {
        return LogFileVerdict::link;
    }
    if (!facts.regularFile) {
        return LogFileVerdict::notRegularFile;
    }
    // A second name lets whoever holds it read the log, or makes the log
    // the other name of a file it must never grow.
    if (facts.names != 1) {
        return LogFileVerdict::severalNames;
    }
    if (facts.owner == LogFileOwner::other) {
        return LogFileVerdict::foreignOwner;
    }
    return LogFileVerdict::append;
}

const char* logFileRefusalText(LogFileVerdict verdict) {
    switch (verdict) {
        case LogFileVerdict::append:
            return "is accepted";
        case LogFileVerdict::link:
            return "is a symbolic link or reparse point";
        case LogFileVerdict::notRegularFile:
            return "is not a regular file";
        case LogFileVerdict::severalNames:
            return "does not have exactly one name (hard links)";
        case LogFileVerdict::foreignOwner:
            return "is owned by another account";
    }
    return "is refused";
}

LogFileHandle* openCheckedLogFile(const std::filesystem::path& path) {
    LogFileFacts facts;
    LogFileHandle* file = openLogFile(path, facts);
    if (!facts.known) {
        closeLogFile(file);
        return nullptr;
    }
    const LogFileVerdict verdict = judgeLogFile(facts);
    if (verdict == LogFileVerdict::append) {
        return file;
    }
    closeLogFile(file);
    std::string why = logFileRefusalText(verdict);
    if (verdict == LogFileVerdict::foreignOwner && !facts.ownerText.empty()) {
        why += " (" + facts.ownerText + ")";
    }
    noteLogFileRefused(path, why);
    return nullptr;
}
