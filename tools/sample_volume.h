// Sample Windows volumes and hive files for the demo and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sample {

// Writes a new empty hive: base block, one bin, a root key pointing to a
// security cell that points to itself. hivex cannot create one, but it can
// fill this one. minorVersion is 3, 4 or 5.
bool writeEmptyHive(const std::string& path, std::uint32_t minorVersion, std::string& error);

struct Entry {
    std::string key;    // backslash-separated, UTF-8; "" is the root
    std::string name;   // value name, UTF-8; empty with type 0 and no data makes only the key
    std::uint32_t type = 0;
    std::string data;   // as stored in the hive
};

// Helpers for entries: a key alone, a string value (stored as UTF-16LE with
// its terminator) of type REG_SZ or REG_EXPAND_SZ, a DWORD.
Entry key(const std::string& path);
Entry text(const std::string& path, const std::string& name, const std::string& utf8, std::uint32_t type = 1);
Entry dword(const std::string& path, const std::string& name, std::uint32_t value);

// Adds the entries to an existing hive file with hivex, creating keys as needed.
bool fillHive(const std::string& path, const std::vector<Entry>& entries, std::string& error);

// UTF-16LE bytes of UTF-8 text, with a terminator.
std::string utf16z(const std::string& utf8);

// Who is on the sample volume.
struct SampleUser {
    std::string sid;
    std::string profilePath;  // as the profile list holds it
    std::string folder;       // under Users/, empty when the folder is missing
    std::string hiveName;     // the NTUSER.DAT spelling in that folder
    std::string classesHive;  // the UsrClass.dat path in that folder, in its
                              // spelling; empty when the user has none
};
const std::vector<SampleUser>& sampleUsers();

// The folder of a profile that holds its classes hive, UsrClass.dat.
extern const char* const classesHiveFolder;

// Lays out a system drive under the directory: the SOFTWARE hive with the
// profile list, the Default profile and the users' folders with their hives
// (ntuser.dat and, for most users, the classes hive; the Default profile has
// none, as new users get theirs at first logon).
bool makeSampleVolume(const std::string& drive, std::string& error);

}  // namespace sample
