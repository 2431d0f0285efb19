// What the registry contract needs from each provider: a way to lay out
// keys, values and hive files before a test, and to look at files after it.
#pragma once

#include <string>
#include <vector>

#include "platform/winapi.h"

struct ValueLayout {
    std::wstring key;  // relative to the root (or hive) it is laid out in
    std::wstring name;
    DWORD type;        // REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ or REG_DWORD
    std::wstring text; // for REG_MULTI_SZ with its inner terminators
    DWORD number = 0;
};

struct HiveLayout {
    std::vector<std::wstring> keys;
    std::vector<ValueLayout> values;
};

class RegistryFixture {
public:
    virtual ~RegistryFixture() = default;
    // A fresh world for one test: the given keys and values below
    // HKEY_LOCAL_MACHINE\Software\TarnwickContract, and one hive file per
    // HiveLayout. Returns the hive files' Windows paths, in order.
    virtual std::vector<std::wstring> prepare(const std::vector<ValueLayout>& machineValues,
                                              const std::vector<HiveLayout>& hives) = 0;
    // A Windows path in an existing folder where no file is.
    virtual std::wstring missingFilePath() = 0;
    virtual bool fileExists(const std::wstring& windowsPath) = 0;
};

// Defined once per provider.
RegistryFixture& registryFixture();
