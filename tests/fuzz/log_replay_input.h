// The input of fuzz_log_replay and fuzz_hive_file: a primary file and up to
// three log files (LOG1, LOG2, LOG) in one byte string, separated by a marker
// that hive bytes do not hold by chance. Parts after the primary that are
// missing are logs that do not exist; an empty part is an empty log file.
// scripts/fuzz.sh writes the same marker when it assembles seeds from
// Windows' own files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/offline/replay/hive_log.h"
#include "platform/offline/replay/marvin32.h"

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

inline std::uint32_t readInputDword(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// Almost every change a mutation makes breaks a base block checksum or a log
// entry's hash, which are checked first. This mends both in every part, so
// that the sequence numbers, sizes and page references reach the rules
// behind them.
inline void repairLogReplayInput(std::vector<std::string>& parts) {
    auto writeQword = [](std::string& bytes, std::size_t at, std::uint64_t value) {
        for (int i = 0; i < 8; ++i) {
            bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
        }
    };
    for (std::size_t part = 0; part < parts.size(); ++part) {
        std::string& bytes = parts[part];
        if (bytes.size() >= 512 && bytes.compare(0, 4, "regf") == 0) {
            const std::uint32_t sum = hivelog::baseBlockChecksum(reinterpret_cast<const unsigned char*>(bytes.data()));
            for (int i = 0; i < 4; ++i) {
                bytes[508 + static_cast<std::size_t>(i)] = static_cast<char>(sum >> (8 * i));
            }
        }
        for (std::size_t at = 512; part > 0 && at <= bytes.size() && bytes.size() - at >= 40 &&
                                   bytes.compare(at, 4, "HvLE") == 0;) {
            const std::uint32_t size = readInputDword(bytes, at + 4);
            if (size < 40 || size % 512 != 0 || size > bytes.size() - at) {
                break;
            }
            const auto* entry = reinterpret_cast<const unsigned char*>(bytes.data() + at);
            writeQword(bytes, at + 24, hivelog::marvin32(entry + 40, size - 40));
            writeQword(bytes, at + 32, hivelog::marvin32(entry, 32));
            at += size;
        }
    }
}

// Runs one input as it came, then repaired if repairing changed it: the first
// run reaches the refusals, the second the replay behind them.
template <typename Exercise>
void exerciseLogReplayInput(const std::uint8_t* data, std::size_t size, Exercise exercise) {
    const std::vector<std::string> parts = splitLogReplayInput(std::string(reinterpret_cast<const char*>(data), size));
    exercise(parts);
    std::vector<std::string> repaired = parts;
    repairLogReplayInput(repaired);
    if (repaired != parts) {
        exercise(repaired);
    }
}

}  // namespace fuzz
