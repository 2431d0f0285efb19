// The input of fuzz_log_replay: a primary file and up to three log files
// (LOG1, LOG2, LOG) in one byte string, separated by a marker that hive
// bytes do not hold by chance. Parts after the primary that are missing are
// logs that do not exist; an empty part is an empty log file. scripts/fuzz.sh
// writes the same marker when it assembles seeds from Windows' own files.
#pragma once

#include <string>
#include <vector>

namespace fuzz {

inline const std::string logReplaySeparator = "=TARNWICK-LOG=";

inline std::vector<std::string> splitLogReplayInput(const std::string& input) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t found; parts.size() < 3 && (found = input.find(logReplaySeparator, start)) != std::string::npos;
         start = found + logReplaySeparator.size()) {
        parts.push_back(input.substr(start, found - start));
    }
    parts.push_back(input.substr(start));
    return parts;
}

inline std::string joinLogReplayInput(const std::vector<std::string>& parts) {
    std::string input;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        input += (i == 0 ? "" : logReplaySeparator) + parts[i];
    }
    return input;
}

}  // namespace fuzz
