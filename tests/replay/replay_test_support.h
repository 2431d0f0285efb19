// Shared by the replay tests: Windows' own hive files, read whole.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/offline/replay/hive_log.h"

inline std::string windowsHive(const std::string& relative) {
    return std::string(TARNWICK_WINDOWS_HIVES) + "/" + relative;
}

// The file's bytes; empty when it cannot be read.
inline std::vector<unsigned char> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::uint32_t dwordAt(const std::vector<unsigned char>& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(bytes.at(at)) | static_cast<std::uint32_t>(bytes.at(at + 1)) << 8 |
           static_cast<std::uint32_t>(bytes.at(at + 2)) << 16 | static_cast<std::uint32_t>(bytes.at(at + 3)) << 24;
}

inline std::uint64_t qwordAt(const std::vector<unsigned char>& bytes, std::size_t at) {
    return static_cast<std::uint64_t>(dwordAt(bytes, at)) | static_cast<std::uint64_t>(dwordAt(bytes, at + 4)) << 32;
}
