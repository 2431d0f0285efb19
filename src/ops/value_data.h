// The type and data a set stores: the type that /vtype names, and /vstr read
// as an administrator writes data for that type in Windows' reg add /d.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "registry/registry.h"

struct ValueData {
    DWORD type = REG_SZ;
    // As RegSetKeyValueW takes them: text in wchar_t with its terminators,
    // numbers little-endian.
    std::vector<unsigned char> bytes;
};

// The type named without regard to case, REG_SZ when no name was given, and
// the text as data of that type; without a text only the type is read.
// False, with what is wrong written for the log in problem, when the name is
// no type or the text is no data of the type.
bool valueDataOf(const std::optional<std::wstring>& typeName, const std::optional<std::wstring>& text,
                 ValueData& data, std::wstring& problem);
