#include "platform/emulation/environment.h"
#include "platform/emulation/names.h"
#include "test_support.h"

namespace {

using emulation::EnvironmentLookup;
using emulation::expandEnvironmentText;

struct ExpandCase {
    const wchar_t* source;
    const wchar_t* expected;
};

TEST(EnvironmentExpansion, FollowsWindowsRules) {
    const EnvironmentLookup lookup = [](const std::wstring& name) -> std::optional<std::wstring> {
        if (emulation::sameName(name, L"SystemDrive")) {
            return std::wstring(L"C:");
        }
        if (emulation::sameName(name, L"Nested")) {
            return std::wstring(L"%SystemDrive%");
        }
        return std::nullopt;
    };
    const ExpandCase cases[] = {
        {L"%SystemDrive%\\Users\\a", L"C:\\Users\\a"},
        {L"%SYSTEMDRIVE%%systemdrive%", L"C:C:"},
        {L"%Unknown%\\x", L"%Unknown%\\x"},
        {L"100% sure", L"100% sure"},
        {L"%%SystemDrive%", L"%C:"},
        {L"%Unknown%SystemDrive%", L"%UnknownC:"},
        {L"%Nested%", L"%SystemDrive%"},
        {L"", L""},
    };
    for (const ExpandCase& c : cases) {
        wchar_t buffer[64] = {};
        const DWORD count = expandEnvironmentText(c.source, buffer, 64, lookup);
        EXPECT_EQ(std::wstring(buffer), c.expected) << narrow(c.source);
        EXPECT_EQ(count, std::wstring(c.expected).size() + 1) << narrow(c.source);
    }
}

TEST(EnvironmentExpansion, TooSmallBufferReportsTheSizeNeeded) {
    const EnvironmentLookup none = [](const std::wstring&) { return std::optional<std::wstring>(); };
    wchar_t buffer[4] = {L'x', L'x', L'x', L'x'};
    SetLastError(0);
    EXPECT_EQ(expandEnvironmentText(L"abcdef", buffer, 4, none), 7u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(expandEnvironmentText(L"abc", buffer, 4, none), 4u);
    EXPECT_EQ(std::wstring(buffer), L"abc");
}

}  // namespace
