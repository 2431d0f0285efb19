// The environment of the offline volume. Profile paths in its registry are
// written for that Windows installation (%SystemDrive%\Users\...), so they
// expand with its variables, never with the Linux host's.
#include <optional>
#include <string>

#include "platform/emulation/names.h"
#include "platform/emulation/provider.h"

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

std::optional<std::wstring> emulation::environmentVariable(const std::wstring& name) {
    for (const VolumeVariable& variable : volumeVariables) {
        if (sameName(name, variable.name)) {
            return std::wstring(variable.value);
        }
    }
    return std::nullopt;
}
