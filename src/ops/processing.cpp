#include "ops/processing.h"

#include "hives/user_hive.h"
#include "log/log.h"
#include "ops/value_data.h"

void processingFunc(const CommandLineArgs& args, HKEY hiveRoot) {
    // A key is deleted by its path alone; a value needs its name too.
    if (!args.operation.has_value() || !args.subKey.has_value() ||
        (*args.operation != Operation::deleteKey && !args.valueName.has_value())) {
        logLine() << L"processingFunc: invalid args\n";
        return;
    }
    // The key handed over is the root of the hive that holds the subkey.
    const std::wstring subKey = subKeyInUserHive(*args.subKey);
    switch (*args.operation) {
        case Operation::setValue: {
            if (!args.valueSZ.has_value()) {
                logLine() << L"processingFunc: missing value to set\n";
                return;
            }
            // The run checks the data before the walk; a caller that did not
            // learns here, in every hive, why nothing was set.
            ValueData data;
            std::wstring problem;
            if (!valueDataOf(args.valueType, args.valueSZ, data, problem)) {
                logLine() << L"processingFunc: " << problem << L"\n";
                return;
            }
            const LONG status = RegSetKeyValueW(hiveRoot, subKey.c_str(), args.valueName->c_str(), data.type,
                                                data.bytes.data(), static_cast<DWORD>(data.bytes.size()));
            if (status != ERROR_SUCCESS) {
                logLine() << L"processingFunc: RegSetKeyValueW() failed, error = " << status << L"\n";
            }
            return;
        }
        case Operation::deleteValue: {
            const LONG status = RegDeleteKeyValueW(hiveRoot, subKey.c_str(), args.valueName->c_str());
            if (status != ERROR_SUCCESS) {
                logLine() << L"processingFunc: RegDeleteKeyValueW() failed, error = " << status << L"\n";
            }
            return;
        }
        case Operation::deleteKey: {
            // A key that is not there is already what was asked for.
            const LONG status = RegDeleteTreeW(hiveRoot, subKey.c_str());
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                logLine() << L"processingFunc: RegDeleteTreeW() failed, error = " << status << L"\n";
            }
            return;
        }
        case Operation::importFile:
            break;
    }
    logLine() << L"processingFunc: unknown operation " << static_cast<std::int32_t>(*args.operation) << L"\n";
}

bool checkValueTypeAndData(const CommandLineArgs& args) {
    if (args.operation == Operation::deleteValue || args.operation == Operation::deleteKey ||
        args.operation == Operation::importFile) {
        return true;
    }
    ValueData data;
    std::wstring problem;
    if (valueDataOf(args.valueType, args.valueSZ, data, problem)) {
        return true;
    }
    logLine() << problem << L"\n";
    return false;
}

bool checkKeyToDelete(const CommandLineArgs& args) {
    if (args.operation != Operation::deleteKey || !args.subKey.has_value() || !subKeyInUserHive(*args.subKey).empty()) {
        return true;
    }
    logLine() << L"Refused: /delkey /k '" << *args.subKey
              << L"' names the root of a user's hive, which is never deleted\n";
    return false;
}
