#include "hives/user_hive.h"
#include "test_support.h"

namespace {

TEST(UserHiveOfSubKey, SoftwareClassesAndBelowGoToTheClassesHive) {
    const struct {
        std::wstring subKey;
        UserHive hive;
        std::wstring inHive;
    } cases[] = {
        {L"Software\\Classes\\.abc", UserHive::classes, L".abc"},
        {L"SOFTWARE\\classes\\.Abc\\Shell", UserHive::classes, L".Abc\\Shell"},
        {L"Software\\Classes\\Wow6432Node\\CLSID\\{0}", UserHive::classes, L"Wow6432Node\\CLSID\\{0}"},
        // The classes root itself.
        {L"Software\\Classes", UserHive::classes, L""},
        {L"software\\CLASSES\\", UserHive::classes, L""},
        // The registry takes a run of backslashes for one and ignores
        // trailing ones; inside the hive the path must not begin with one.
        {L"Software\\\\Classes\\\\\\.abc", UserHive::classes, L".abc"},
        {L"Software\\Classes\\\\", UserHive::classes, L""},
        {L"Software\\Classes\\a\\\\b\\", UserHive::classes, L"a\\\\b\\"},
        // Whole components only.
        {L"Software\\ClassesX\\.abc", UserHive::profile, L"Software\\ClassesX\\.abc"},
        {L"Software\\Classe", UserHive::profile, L"Software\\Classe"},
        {L"Software\\Classes \\.abc", UserHive::profile, L"Software\\Classes \\.abc"},
        {L"SoftwareX\\Classes\\.abc", UserHive::profile, L"SoftwareX\\Classes\\.abc"},
        {L"Software\\Contoso\\Classes", UserHive::profile, L"Software\\Contoso\\Classes"},
        {L"Classes\\.abc", UserHive::profile, L"Classes\\.abc"},
        {L"Software", UserHive::profile, L"Software"},
        {L"Software\\", UserHive::profile, L"Software\\"},
        {L"", UserHive::profile, L""},
        // A slash is part of a key name, not a separator.
        {L"Software/Classes/.abc", UserHive::profile, L"Software/Classes/.abc"},
        // The registry refuses a leading backslash; such a path keeps failing
        // where it always did.
        {L"\\Software\\Classes\\.abc", UserHive::profile, L"\\Software\\Classes\\.abc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(userHiveOfSubKey(c.subKey), c.hive) << narrow(c.subKey);
        EXPECT_EQ(subKeyInUserHive(c.subKey), c.inHive) << narrow(c.subKey);
    }
}

}  // namespace
