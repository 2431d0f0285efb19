// The environment of the offline volume. Profile paths in its registry are
// written for that Windows installation (%SystemDrive%\Users\...), so they
// expand with its variables, never with the Linux host's.
#include <optional>
#include <string>

#include "platform/emulation/environment.h"
#include "platform/winapi.h"

namespace {

struct VolumeVariable {
    const wchar_t* name;
    const wchar_t* value;
};

const VolumeVariable volumeVariables[] = {
    {L"SystemDrive", L"C:"},
    {L"SystemRoot", L"C:\\Windows"},
    {L"windir", L"C:\\Windows"},
    {L"ProgramData", L"C:\\ProgramData"},
    {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
    {L"PUBLIC", L"C:\\Users\\Public"},
};

}  // namespace

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
    return expandEnvironmentText(lpSrc, lpDst, nSize, [](const std::wstring& name) -> std::optional<std::wstring> {
        for (const VolumeVariable& variable : volumeVariables) {
            if (equalsIgnoringAsciiCase(name, variable.name)) {
                return std::wstring(variable.value);
            }
        }
        return std::nullopt;
    });
}
