// A user's registry, as HKEY_CURRENT_USER shows it, is kept in two hive files.
// Software\Classes and everything below it live in the classes hive
// (UsrClass.dat), which Windows mounts as HKEY_USERS\<SID>_Classes; everything
// else lives in the profile's ntuser.dat, mounted as HKEY_USERS\<SID>. While
// the user is logged on, HKEY_USERS\<SID>\Software\Classes is only a volatile
// link to the classes hive, and at logon that link takes the place of any real
// Software\Classes key in ntuser.dat: a value written there is never read.
#pragma once

#include <string>

enum class UserHive {
    profile,  // ntuser.dat
    classes,  // UsrClass.dat
};

// Which of the user's hives holds the subkey. The subkey is read as the
// registry reads a relative key path: components compared without regard to
// the case of ASCII letters, runs of backslashes counted as one separator and
// trailing ones ignored. A path that begins with a backslash is one the
// registry refuses; it stays with the profile hive, so that it fails there as
// it always did.
UserHive userHiveOfSubKey(const std::wstring& subKey);

// The subkey's path inside the hive that holds it: for the classes hive the
// part after Software\Classes (empty for the classes root itself), otherwise
// the subkey unchanged.
std::wstring subKeyInUserHive(const std::wstring& subKey);

// The name a hive is mounted under: the profile's mount name (its SID, or the
// name given to the default profile) for ntuser.dat, and that name with
// "_Classes" appended for the classes hive, as Windows names it.
std::wstring userHiveMountName(const std::wstring& profileMountName, UserHive hive);

// The hive file's path relative to the profile directory.
const wchar_t* userHiveFileName(UserHive hive);
