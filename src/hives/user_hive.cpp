#include "hives/user_hive.h"

#include <cstddef>

namespace {

bool sameAsciiName(const std::wstring& text, std::size_t begin, std::size_t end, const wchar_t* name) {
    std::size_t i = begin;
    for (; i < end && *name != L'\0'; ++i, ++name) {
        wchar_t c = text[i];
        wchar_t n = *name;
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        if (n >= L'A' && n <= L'Z') {
            n = static_cast<wchar_t>(n - L'A' + L'a');
        }
        if (c != n) {
            return false;
        }
    }
    return i == end && *name == L'\0';
}

// Finds the next path component at or after position: its begin and end.
// Returns false when only separators are left.
bool nextComponent(const std::wstring& path, std::size_t position, std::size_t& begin, std::size_t& end) {
    begin = path.find_first_not_of(L'\\', position);
    if (begin == std::wstring::npos) {
        return false;
    }
    end = path.find(L'\\', begin);
    if (end == std::wstring::npos) {
        end = path.size();
    }
    return true;
}

// True when the subkey is Software\Classes or lies below it; rest is then
// where the path inside the classes hive begins (the size for the root).
bool isClassesSubKey(const std::wstring& subKey, std::size_t& rest) {
    if (!subKey.empty() && subKey[0] == L'\\') {
        return false;
    }
    std::size_t begin = 0;
    std::size_t end = 0;
    if (!nextComponent(subKey, 0, begin, end) || !sameAsciiName(subKey, begin, end, L"Software") ||
        !nextComponent(subKey, end, begin, end) || !sameAsciiName(subKey, begin, end, L"Classes")) {
        return false;
    }
    // The separators after "Classes" go too: a path inside the hive that
    // began with one would be refused.
    rest = subKey.find_first_not_of(L'\\', end);
    if (rest == std::wstring::npos) {
        rest = subKey.size();
    }
    return true;
}

}  // namespace

UserHive userHiveOfSubKey(const std::wstring& subKey) {
    std::size_t rest = 0;
    return isClassesSubKey(subKey, rest) ? UserHive::classes : UserHive::profile;
}

std::wstring subKeyInUserHive(const std::wstring& subKey) {
    std::size_t rest = 0;
    return isClassesSubKey(subKey, rest) ? subKey.substr(rest) : subKey;
}

std::wstring userHiveMountName(const std::wstring& profileMountName, UserHive hive) {
    return hive == UserHive::classes ? profileMountName + L"_Classes" : profileMountName;
}

const wchar_t* userHiveFileName(UserHive hive) {
    return hive == UserHive::classes ? L"AppData\\Local\\Microsoft\\Windows\\UsrClass.dat" : L"ntuser.dat";
}
