// The command-line options: the switches, their parsing and the report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class Operation : std::int32_t {
    setValue = 0,
    deleteValue = 1,
};

struct CommandLineArgs {
    bool includeDefaultProfile = false;
    std::optional<Operation> operation;
    std::optional<std::wstring> subKey;
    std::optional<std::wstring> valueName;
    std::optional<std::wstring> valueSZ;
    // The type name as typed after /vtype; absent means REG_SZ.
    std::optional<std::wstring> valueType;
};

// Splits the argument text by the platform's rules; empty when the text is
// null or the platform cannot split it.
std::vector<std::wstring> splitCommandLine(const wchar_t* argumentText);

// Never fails: unknown elements are skipped, and a value switch without its
// value writes one line to the log.
CommandLineArgs parseCommandLine(const wchar_t* argumentText);

// Writes the six-line "Parsed args:" report, and a seventh line for the type
// when /vtype was given.
void logParsedArgs(const CommandLineArgs& args);
