#include "app/options.h"

#include <cwctype>
#include <iomanip>
#include <ios>

#include "log/log.h"
#include "platform/winapi.h"

std::vector<std::wstring> splitCommandLine(const wchar_t* argumentText) {
    std::vector<std::wstring> elements;
    if (argumentText == nullptr) {
        return elements;
    }
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(argumentText, &count);
    if (argv == nullptr) {
        return elements;
    }
    // The argument text carries no program name, so the first element is
    // already a real argument.
    for (int i = 0; i < count; ++i) {
        elements.emplace_back(argv[i]);
    }
    LocalFree(static_cast<HLOCAL>(argv));
    return elements;
}

namespace {

std::wstring lowerCased(const std::wstring& text) {
    std::wstring lower = text;
    for (wchar_t& c : lower) {
        c = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(c)));
    }
    return lower;
}

}  // namespace

CommandLineArgs parseCommandLine(const wchar_t* argumentText) {
    CommandLineArgs args;
    const std::vector<std::wstring> elements = splitCommandLine(argumentText);
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const std::wstring sw = lowerCased(elements[i]);
        std::optional<std::wstring>* field = nullptr;
        if (sw == L"/dp") {
            args.includeDefaultProfile = true;
        } else if (sw == L"/set") {
            args.operation = Operation::setValue;
        } else if (sw == L"/del") {
            args.operation = Operation::deleteValue;
        } else if (sw == L"/delkey") {
            args.operation = Operation::deleteKey;
        } else if (sw == L"/import") {
            args.operation = Operation::importFile;
            field = &args.importFile;
        } else if (sw == L"/k") {
            field = &args.subKey;
        } else if (sw == L"/vn") {
            field = &args.valueName;
        } else if (sw == L"/vstr") {
            field = &args.valueSZ;
        } else if (sw == L"/vtype") {
            field = &args.valueType;
        }
        if (field == nullptr) {
            continue;
        }
        ++i;
        if (i >= elements.size()) {
            logLine() << L"Missing value for switch " << sw << L"\n";
            // A type asked for but not named must not turn into the default
            // REG_SZ: it counts as the empty, unknown type name.
            if (field == &args.valueType) {
                *field = std::wstring();
            }
            break;
        }
        *field = elements[i];
    }
    return args;
}

namespace {

const wchar_t* operationText(const std::optional<Operation>& operation) {
    if (!operation.has_value()) {
        return L"missing";
    }
    switch (*operation) {
        case Operation::setValue:
            return L"setValue";
        case Operation::deleteValue:
            return L"deleteValue";
        case Operation::importFile:
            return L"importFile";
        case Operation::deleteKey:
            return L"deleteKey";
    }
    return L"<unknown>";
}

void logOptionalString(const wchar_t* label, const std::optional<std::wstring>& value) {
    std::wostream& line = logLine();
    line << std::setw(28) << label;
    if (value.has_value()) {
        line << *value;
    } else {
        line << L"missing";
    }
    line << L"\n";
}

}  // namespace

void logParsedArgs(const CommandLineArgs& args) {
    logLine() << L"Parsed args:\n";
    logLine() << std::setw(28) << L"includeDefaultProfile: " << std::boolalpha << args.includeDefaultProfile << L"\n";
    logLine() << std::setw(28) << L"operation: " << operationText(args.operation) << L"\n";
    logOptionalString(L"subKey: ", args.subKey);
    logOptionalString(L"valueName: ", args.valueName);
    logOptionalString(L"valueSZ: ", args.valueSZ);
    if (args.valueType.has_value()) {
        logOptionalString(L"valueType: ", args.valueType);
    }
    if (args.importFile.has_value()) {
        logOptionalString(L"importFile: ", args.importFile);
    }
}
