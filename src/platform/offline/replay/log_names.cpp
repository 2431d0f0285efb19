// Which files of a folder are a hive's transaction logs.
#include "hive_log.h"

namespace hivelog {

namespace {

char foldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string pick(const std::string& wanted, const std::vector<std::string>& entries, SameName sameName) {
    std::string found;
    for (const std::string& entry : entries) {
        if (entry == wanted) {
            return entry;
        }
        if (sameName(entry, wanted) && (found.empty() || entry < found)) {
            found = entry;
        }
    }
    return found;
}

}  // namespace

bool sameNameAscii(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

LogNames findLogNames(const std::string& hiveName, const std::vector<std::string>& folderEntries,
                      SameName sameName) {
    LogNames names;
    if (hiveName.empty()) {
        return names;
    }
    names.log1 = pick(hiveName + ".LOG1", folderEntries, sameName);
    names.log2 = pick(hiveName + ".LOG2", folderEntries, sameName);
    names.log = pick(hiveName + ".LOG", folderEntries, sameName);
    return names;
}

}  // namespace hivelog
