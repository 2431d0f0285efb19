// A registry file (.reg), as regedit exports it and administrators edit it,
// read into the changes it makes below HKEY_CURRENT_USER. Nothing is applied
// here: the whole file is read and checked first, so that a file with a fault
// anywhere changes no profile at all.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "registry/registry.h"

enum class RegChangeKind { createKey, deleteKey, setValue, deleteValue };

struct RegChange {
    RegChangeKind kind = RegChangeKind::createKey;
    std::size_t line = 0;  // the line (from 1) where the entry begins in the file
    // Below HKEY_CURRENT_USER, without the root and its backslash; "" is the
    // root. Never holds an empty key name or a trailing backslash.
    std::wstring keyPath;
    std::wstring valueName;  // setValue, deleteValue: "" is the default value (@)
    DWORD type = REG_NONE;   // setValue
    // setValue: as RegSetValueExW takes it: text in wchar_t, numbers
    // little-endian, other bytes as written.
    std::vector<unsigned char> data;
};

struct RegFile {
    std::vector<RegChange> changes;  // in the file's order: a section's createKey before its values
    std::size_t keys = 0;            // sections that open (create) a key
    std::size_t values = 0;          // values set
    std::size_t deletions = 0;       // keys and values deleted
};

// Reads the file's bytes: UTF-16LE with its byte-order mark, UTF-8 with or
// without one, or Windows-1252 when the bytes are not UTF-8. True with the
// changes in out. False, with out empty, the line of the fault (0 when it is
// the file as a whole, such as its encoding) and one sentence saying what is
// wrong, when the file is not one this tool applies: among others any key
// outside HKEY_CURRENT_USER, since a machine setting cannot be applied per
// profile and skipping it would report a change never made.
bool parseRegFile(const std::vector<unsigned char>& bytes, RegFile& out, std::size_t& errorLine,
                  std::wstring& problem);
