#include "app/about.h"

#include "app/version.h"

namespace {

const char* const usage =
    "Usage: tarnwick /set /k <subkey> /vn <value name> /vstr <string> [/dp]\n"
    "       tarnwick /set /k <subkey> /vn <value name> /vtype <type> /vstr <data> [/dp]\n"
    "       tarnwick /del /k <subkey> /vn <value name> [/dp]\n"
    "       tarnwick /delkey /k <subkey> [/dp]\n"
    "       tarnwick /import <file.reg> [/dp]\n"
    "       tarnwick --version | --help\n"
    "\n"
    "Sets (as REG_SZ, or as the type given with /vtype) or deletes one registry value,\n"
    "or deletes a key with everything below it, under the same subkey in the hive of\n"
    "every user profile of an offline Windows volume, and with /dp in the Default\n"
    "profile's hive too; or applies the HKEY_CURRENT_USER part of a registry file to\n"
    "each of those hives.\n"
    "\n"
    "Switches (matched without regard to case; the last of a kind counts):\n"
    "  /set            set the value to the string given with /vstr\n"
    "  /del            delete the value\n"
    "  /delkey         delete the key /k names and everything below it\n"
    "  /import <file>  apply a registry file (regedit's .reg, REGEDIT4 or 5.00, in\n"
    "                  UTF-16, UTF-8 or Windows-1252) to every profile; a path on\n"
    "                  this host, read and checked whole before anything happens\n"
    "  /k <subkey>     the key below each hive's root, e.g. Software\\Contoso\\App\n"
    "  /vn <name>      the value's name\n"
    "  /vstr <string>  the string to store (with /set); with /vtype, the data\n"
    "  /vtype <type>   REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ (strings\n"
    "                  separated by \\0), REG_DWORD, REG_QWORD (decimal, or 0x and\n"
    "                  hexadecimal digits) or REG_BINARY (hexadecimal digits)\n"
    "  /dp             also change the Default profile\n"
    "\n"
    "Environment:\n"
    "  TARNWICK_SYSTEM_DRIVE  the directory where the Windows system drive (C:) is\n"
    "                         mounted\n"
    "\n"
    "Log: tarnwick.log in $TMPDIR, or in /tmp when TMPDIR is unset. Every run appends\n"
    "to it; a new log is readable by its owner only. A log that is a link, has a\n"
    "second name or belongs to another user is not written to: the run goes on\n"
    "without a log and says so on stderr.\n"
    "\n"
    "Exit codes:\n"
    "  0  the walk over the profile list ran; failures in single hives are in the log\n"
    "  1  the walk did not start: no volume, or its profile list could not be opened;\n"
    "     or, before anything is touched, a set's /vtype is unknown or its /vstr is\n"
    "     no data of that type, an /import file cannot be read or is refused (a line\n"
    "     that does not parse, a section outside HKEY_CURRENT_USER), or /delkey names\n"
    "     a hive's root\n";

}  // namespace

bool aboutRequest(const std::vector<std::string>& arguments, std::string& text) {
    if (arguments.size() != 1) {
        return false;
    }
    if (arguments[0] == "--version") {
        text = std::string("tarnwick ") + tarnwickVersion + "\n";
        return true;
    }
    if (arguments[0] == "--help") {
        text = usage;
        return true;
    }
    return false;
}
