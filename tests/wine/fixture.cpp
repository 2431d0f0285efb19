// Sets up and inspects Wine's registry for the end-to-end tests of tarnwick.exe.
// Wine's reg.exe cannot load or unload hives, and Wine only loads hive files
// that it wrote itself (RegSaveKeyW), so the tests need a program of their own.
//
// Every command prints its result on stdout as UTF-8 and exits with 0 on
// success, otherwise with the Windows status of the call that failed.
//
//   makehive FILE [SUBKEY NAME VALUE]...   save a new hive holding these REG_SZ values
//   addprofile SID PATH sz|expand          profile list entry with its ProfileImagePath
//   addprofilekey SID                      profile list entry without ProfileImagePath
//   delprofile SID                         remove a profile list entry
//   listprofiles                           the profile list's subkeys, in enumeration order
//   profilepath SID                        a profile's ProfileImagePath, expanded
//   setdefault PATH sz|expand / deldefault the profile list's "Default" value
//   delprofilelist                         remove the whole profile list key
//   load NAME FILE [noprivilege]           mount a hive under HKEY_USERS and leave it
//   unload NAME                            unmount it
//   get NAME SUBKEY VALUE                  print a REG_SZ value of HKEY_USERS\NAME\SUBKEY
//   query NAME SUBKEY VALUE                print any value there as its type and bytes
//                                          in hexadecimal, "4 901f0000"
//   set NAME SUBKEY VALUE DATA             write a REG_SZ value there
//   listhku                                HKEY_USERS' subkeys
//   tempdir                                the temporary directory of a Wine process
//   privileges                             SeRestore/SeBackup in this process's token
//   spawn COMMANDLINE                      run a program without TZ in its Windows
//                                          environment, print its exit code
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t* const profileListPath = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";

void out(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), bytes, nullptr,
                        nullptr);
    utf8 += '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

int fail(const wchar_t* what, LONG status) {
    out(std::wstring(L"fixture: ") + what + L" failed, error = " + std::to_wstring(status));
    return status != 0 ? static_cast<int>(status) : 1;
}

// Returns the status of the adjustment; AdjustTokenPrivileges "succeeds" even
// when the token lacks the privilege, so the last error is what counts.
DWORD enablePrivilege(const wchar_t* name) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        return GetLastError();
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) {
        const DWORD error = GetLastError();
        CloseHandle(token);
        return error;
    }
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(token);
    return error;
}

DWORD typeOf(const std::wstring& kind) { return kind == L"expand" ? REG_EXPAND_SZ : REG_SZ; }

LONG setString(HKEY root, const wchar_t* subKey, const wchar_t* name, const std::wstring& data, DWORD type) {
    return RegSetKeyValueW(root, subKey, name, type, data.c_str(),
                           static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

int makeHive(const std::vector<std::wstring>& a) {
    if (a.size() < 1 || (a.size() - 1) % 3 != 0) {
        return fail(L"makehive arguments", ERROR_INVALID_PARAMETER);
    }
    const std::wstring tempKey = L"Software\\tarnwick-fixture-" + std::to_wstring(GetCurrentProcessId());
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CURRENT_USER, tempKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr);
    if (status != ERROR_SUCCESS) {
        return fail(L"RegCreateKeyExW", status);
    }
    for (std::size_t i = 1; i + 2 < a.size(); i += 3) {
        status = setString(key, a[i].c_str(), a[i + 1].c_str(), a[i + 2], REG_SZ);
        if (status != ERROR_SUCCESS) {
            break;
        }
    }
    if (status == ERROR_SUCCESS) {
        enablePrivilege(L"SeBackupPrivilege");
        // RegSaveKeyW refuses to overwrite a file.
        DeleteFileW(a[0].c_str());
        status = RegSaveKeyW(key, a[0].c_str(), nullptr);
    }
    RegCloseKey(key);
    RegDeleteTreeW(HKEY_CURRENT_USER, tempKey.c_str());
    return status == ERROR_SUCCESS ? 0 : fail(L"makehive", status);
}

int listSubkeys(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(root, path, 0, KEY_READ, &key);
    if (status != ERROR_SUCCESS) {
        return fail(L"RegOpenKeyExW", status);
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[1024];
        DWORD length = 1024;
        status = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            break;
        }
        out(std::wstring(name, length));
    }
    RegCloseKey(key);
    return status == ERROR_NO_MORE_ITEMS ? 0 : fail(L"RegEnumKeyExW", status);
}

int getValue(const std::wstring& mount, const std::wstring& subKey, const std::wstring& name) {
    const std::wstring path = mount + L"\\" + subKey;
    std::vector<wchar_t> data(32768);
    DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    const LONG status =
        RegGetValueW(HKEY_USERS, path.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, data.data(), &size);
    if (status != ERROR_SUCCESS) {
        return fail(L"RegGetValueW", status);
    }
    out(data.data());
    return 0;
}

// Read with RegQueryValueExW, which hands the bytes over as stored.
int queryValue(const std::wstring& mount, const std::wstring& subKey, const std::wstring& name) {
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_USERS, (mount + L"\\" + subKey).c_str(), 0, KEY_QUERY_VALUE, &key);
    if (status != ERROR_SUCCESS) {
        return fail(L"RegOpenKeyExW", status);
    }
    std::vector<BYTE> data(65536);
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    status = RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return fail(L"RegQueryValueExW", status);
    }
    std::wstring text = std::to_wstring(type) + L" ";
    for (DWORD i = 0; i < size; ++i) {
        text += L"0123456789abcdef"[data[i] >> 4];
        text += L"0123456789abcdef"[data[i] & 15];
    }
    out(text);
    return 0;
}

int profilePath(const std::wstring& sid) {
    const std::wstring key = std::wstring(profileListPath) + L"\\" + sid;
    std::vector<wchar_t> stored(32768);
    DWORD size = static_cast<DWORD>(stored.size() * sizeof(wchar_t));
    const LONG status = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ProfileImagePath",
                                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, stored.data(), &size);
    if (status != ERROR_SUCCESS) {
        return fail(L"RegGetValueW", status);
    }
    std::vector<wchar_t> expanded(32768);
    if (ExpandEnvironmentStringsW(stored.data(), expanded.data(), static_cast<DWORD>(expanded.size())) == 0) {
        return fail(L"ExpandEnvironmentStringsW", static_cast<LONG>(GetLastError()));
    }
    out(expanded.data());
    return 0;
}

int privileges() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return fail(L"OpenProcessToken", static_cast<LONG>(GetLastError()));
    }
    std::vector<BYTE> buffer(65536);
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
        const DWORD error = GetLastError();
        CloseHandle(token);
        return fail(L"GetTokenInformation", static_cast<LONG>(error));
    }
    CloseHandle(token);
    const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        LUID luid = list->Privileges[i].Luid;
        if (!LookupPrivilegeNameW(nullptr, &luid, name, &length)) {
            continue;
        }
        const std::wstring text(name);
        if (text == L"SeRestorePrivilege" || text == L"SeBackupPrivilege") {
            const bool enabled = (list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
            out(text + (enabled ? L" enabled" : L" disabled"));
        }
    }
    return 0;
}

// The Windows environment hides TZ from the C runtime (which would parse it
// itself), while the Unix side of Wine, inherited from this process, still
// derives the system time zone from it: so a zone with daylight saving rules
// reaches the program through GetTimeZoneInformation.
int runWithoutTz(const std::wstring& commandLine) {
    std::vector<wchar_t> environment;
    const wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"TZ=", 3) == 0) {
            continue;
        }
        environment.insert(environment.end(), entry, entry + wcslen(entry) + 1);
    }
    environment.push_back(L'\0');
    FreeEnvironmentStringsW(const_cast<wchar_t*>(block));
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), nullptr, &startup, &process)) {
        return fail(L"CreateProcessW", static_cast<LONG>(GetLastError()));
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    out(L"exit code " + std::to_wstring(exitCode));
    return 0;
}

int run(const std::vector<std::wstring>& args) {
    if (args.empty()) {
        return fail(L"command", ERROR_INVALID_PARAMETER);
    }
    const std::wstring& command = args[0];
    const std::vector<std::wstring> a(args.begin() + 1, args.end());
    auto need = [&](std::size_t count) { return a.size() >= count; };

    if (command == L"makehive" && need(1)) {
        return makeHive(a);
    }
    if (command == L"addprofile" && need(3)) {
        const std::wstring key = std::wstring(profileListPath) + L"\\" + a[0];
        const LONG status = setString(HKEY_LOCAL_MACHINE, key.c_str(), L"ProfileImagePath", a[1], typeOf(a[2]));
        return status == ERROR_SUCCESS ? 0 : fail(L"RegSetKeyValueW", status);
    }
    if (command == L"addprofilekey" && need(1)) {
        const std::wstring path = std::wstring(profileListPath) + L"\\" + a[0];
        HKEY key = nullptr;
        const LONG status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                            nullptr, &key, nullptr);
        if (status != ERROR_SUCCESS) {
            return fail(L"RegCreateKeyExW", status);
        }
        // A value that is not the image path, so the key is not empty.
        const DWORD flags = 0;
        RegSetValueExW(key, L"Flags", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&flags), sizeof(flags));
        RegCloseKey(key);
        return 0;
    }
    if (command == L"delprofile" && need(1)) {
        const std::wstring key = std::wstring(profileListPath) + L"\\" + a[0];
        // With a subkey name, RegDeleteTreeW removes that key too.
        const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
        return status == ERROR_SUCCESS ? 0 : fail(L"RegDeleteTreeW", status);
    }
    if (command == L"listprofiles") {
        return listSubkeys(HKEY_LOCAL_MACHINE, profileListPath);
    }
    if (command == L"profilepath" && need(1)) {
        return profilePath(a[0]);
    }
    if (command == L"setdefault" && need(2)) {
        const LONG status = setString(HKEY_LOCAL_MACHINE, profileListPath, L"Default", a[0], typeOf(a[1]));
        return status == ERROR_SUCCESS ? 0 : fail(L"RegSetKeyValueW", status);
    }
    if (command == L"deldefault") {
        const LONG status = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, profileListPath, L"Default");
        return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0 : fail(L"RegDeleteKeyValueW", status);
    }
    if (command == L"delprofilelist") {
        const LONG status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, profileListPath);
        return status == ERROR_SUCCESS ? 0 : fail(L"RegDeleteTreeW", status);
    }
    if (command == L"load" && need(2)) {
        if (!(a.size() > 2 && a[2] == L"noprivilege")) {
            const DWORD status = enablePrivilege(L"SeRestorePrivilege");
            if (status != ERROR_SUCCESS) {
                return fail(L"enabling SeRestorePrivilege", static_cast<LONG>(status));
            }
        }
        const LONG status = RegLoadKeyW(HKEY_USERS, a[0].c_str(), a[1].c_str());
        return status == ERROR_SUCCESS ? 0 : fail(L"RegLoadKeyW", status);
    }
    if (command == L"unload" && need(1)) {
        enablePrivilege(L"SeRestorePrivilege");
        const LONG status = RegUnLoadKeyW(HKEY_USERS, a[0].c_str());
        return status == ERROR_SUCCESS ? 0 : fail(L"RegUnLoadKeyW", status);
    }
    if (command == L"get" && need(3)) {
        return getValue(a[0], a[1], a[2]);
    }
    if (command == L"query" && need(3)) {
        return queryValue(a[0], a[1], a[2]);
    }
    if (command == L"set" && need(4)) {
        const std::wstring key = a[0] + L"\\" + a[1];
        const LONG status = setString(HKEY_USERS, key.c_str(), a[2].c_str(), a[3], REG_SZ);
        return status == ERROR_SUCCESS ? 0 : fail(L"RegSetKeyValueW", status);
    }
    if (command == L"listhku") {
        return listSubkeys(HKEY_USERS, nullptr);
    }
    if (command == L"tempdir") {
        wchar_t path[MAX_PATH + 1];
        const DWORD length = GetTempPathW(MAX_PATH + 1, path);
        if (length == 0) {
            return fail(L"GetTempPathW", static_cast<LONG>(GetLastError()));
        }
        out(std::wstring(path, length));
        return 0;
    }
    if (command == L"privileges") {
        return privileges();
    }
    if (command == L"spawn" && need(1)) {
        return runWithoutTz(a[0]);
    }
    return fail(L"unknown command or too few arguments", ERROR_INVALID_PARAMETER);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    // Several commands in one process: separated by a lone "--", run in order,
    // stopping at the first failure. Each Wine process start costs time.
    std::vector<std::wstring> current;
    for (std::size_t i = 0; i <= args.size(); ++i) {
        if (i == args.size() || args[i] == L"--") {
            if (!current.empty()) {
                const int status = run(current);
                if (status != 0) {
                    return status;
                }
            }
            current.clear();
        } else {
            current.push_back(args[i]);
        }
    }
    return 0;
}
