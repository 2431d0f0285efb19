#pragma once

#include <string>
#include <vector>

// The non-empty components of a path, split at any of the given separators;
// runs of separators and separators at either end yield no empty component.
template <class Char>
std::vector<std::basic_string<Char>> splitPathComponents(const std::basic_string<Char>& path,
                                                         const std::basic_string<Char>& separators) {
    std::vector<std::basic_string<Char>> parts;
    std::basic_string<Char> current;
    for (Char c : path) {
        if (separators.find(c) != std::basic_string<Char>::npos) {
            if (!current.empty()) {
                parts.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        parts.push_back(current);
    }
    return parts;
}
