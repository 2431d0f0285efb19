// The command-line options: the switches, their parsing and the report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class Operation : std::int32_t {
    setValue = 0,
    deleteValue = 1,
    // Beyond the value operations: a registry file's changes, and a key
    // deleted with everything below it.
    importFile = 2,
    deleteKey = 3,
};

struct CommandLineArgs {
    bool includeDefaultProfile = false;
    std::optional<Operation> operation;
    std::optional<std::wstring> subKey;
    std::optional<std::wstring> valueName;
    std::optional<std::wstring> valueSZ;
    // The type name as typed after /vtype; absent means REG_SZ.
    std::optional<std::wstring> valueType;
    // The registry file named after /import, as typed.
    std::optional<std::wstring> importFile;
};

// Splits the argument text by the platform's rules; empty when the text is
// null or the platform cannot split it.
std::vector<std::wstring> splitCommandLine(const wchar_t* argumentText);

// Never fails: unknown elements are skipped, and a value switch without its
// value writes one line to the log.
CommandLineArgs parseCommandLine(const wchar_t* argumentText);

// Writes the six-line "Parsed args:" report, and a line more for each of the
// type (/vtype) and the registry file (/import) when it was given.
void logParsedArgs(const CommandLineArgs& args);
