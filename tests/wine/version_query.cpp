// Reads tarnwick.exe's version resource the way Windows programs do
// (GetFileVersionInfoW, VerQueryValueW), under Wine, and checks it against the
// project's version. The PE check reads the same resource byte by byte; this
// shows that Windows' own reader understands it.
//
//   version_query EXE VERSION     exit 0 when every field is as expected
#include <cstdio>
#include <string>
#include <vector>

#include "platform/winapi.h"

namespace {

int failures = 0;

void expectEqual(const char* what, const std::wstring& got, const std::wstring& want) {
    std::printf("%s: %ls\n", what, got.c_str());
    if (got != want) {
        std::printf("  FAILED: expected %ls\n", want.c_str());
        ++failures;
    }
}

std::wstring windowsPath(std::wstring path) {
    // A Unix path from the build reaches Wine as it is; drive Z: is the root.
    if (!path.empty() && path[0] == L'/') {
        path = L"Z:" + path;
    }
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::printf("usage: version_query EXE VERSION\n");
        return 2;
    }
    const std::wstring exe = windowsPath(argv[1]);
    const std::wstring version = argv[2];
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
    if (size == 0) {
        std::printf("GetFileVersionInfoSizeW failed, error = %lu\n", GetLastError());
        return 1;
    }
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(exe.c_str(), 0, size, block.data())) {
        std::printf("GetFileVersionInfoW failed, error = %lu\n", GetLastError());
        return 1;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr) {
        std::printf("no VS_FIXEDFILEINFO\n");
        return 1;
    }
    const std::wstring numeric = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                                 std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                                 std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
                                 std::to_wstring(LOWORD(fixed->dwFileVersionLS));
    expectEqual("fixed file version", numeric, version + L".0");

    // The language and code page the strings are filed under.
    struct Translation {
        WORD language;
        WORD codePage;
    }* translation = nullptr;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                        &length) ||
        length < sizeof(Translation)) {
        std::printf("no translation\n");
        return 1;
    }
    wchar_t prefix[64];
    std::swprintf(prefix, 64, L"\\StringFileInfo\\%04x%04x\\", translation->language, translation->codePage);
    const struct {
        const char* label;
        const wchar_t* name;
        std::wstring want;
    } strings[] = {
        {"FileVersion", L"FileVersion", version},
        {"ProductVersion", L"ProductVersion", version},
        {"ProductName", L"ProductName", L"tarnwick"},
        {"OriginalFilename", L"OriginalFilename", L"tarnwick.exe"},
    };
    for (const auto& s : strings) {
        wchar_t* value = nullptr;
        const std::wstring query = std::wstring(prefix) + s.name;
        const bool found = VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
                           value != nullptr;
        expectEqual(s.label, found ? std::wstring(value) : L"<missing>", s.want);
    }
    wchar_t* description = nullptr;
    const std::wstring query = std::wstring(prefix) + L"FileDescription";
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&description), &length) ||
        description == nullptr || *description == L'\0') {
        std::printf("FAILED: no FileDescription\n");
        ++failures;
    } else {
        std::printf("FileDescription: %ls\n", description);
    }
    return failures == 0 ? 0 : 1;
}
