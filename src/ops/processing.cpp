#include "ops/processing.h"

#include "hives/user_hive.h"
#include "log/log.h"

void processingFunc(const CommandLineArgs& args, HKEY hiveRoot) {
    if (!args.operation.has_value() || !args.subKey.has_value() || !args.valueName.has_value()) {
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
            const std::wstring& text = *args.valueSZ;
            const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
            const LONG status =
                RegSetKeyValueW(hiveRoot, subKey.c_str(), args.valueName->c_str(), REG_SZ, text.c_str(), bytes);
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
    }
    logLine() << L"processingFunc: unknown operation " << static_cast<std::int32_t>(*args.operation) << L"\n";
}
