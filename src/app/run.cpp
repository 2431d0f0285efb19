#include "app/run.h"

#include <utility>

#include "app/options.h"
#include "hives/callback.h"
#include "hives/profiles.h"
#include "hives/user_hive.h"
#include "log/log.h"
#include "ops/processing.h"

int runTarnwick(const wchar_t* argumentText) {
    logLine() << L"Started with command line: " << argumentText << L"\n";
    CommandLineArgs args = parseCommandLine(argumentText);
    logParsedArgs(args);
    // A set's type and data are read before anything else happens, so that a
    // mistyped number reaches no hive; the report above shows what was typed.
    if (!checkValueTypeAndData(args)) {
        logLine() << L"Exiting\n";
        return 1;
    }

    // Software\Classes goes to each user's classes hive, everything else
    // (a missing subkey too, which every hive then reports) to ntuser.dat.
    const UserHive hive = args.subKey.has_value() ? userHiveOfSubKey(*args.subKey) : UserHive::profile;

    // The callback owns its own copy of the options, taken after the report.
    HiveCallback callback = [options = args](HKEY hiveRoot) { processingFunc(options, hiveRoot); };
    const bool walked = enumAllUserRegHives(args.includeDefaultProfile, hive, std::move(callback));
    if (!walked) {
        logLine() << L"Enumeration of user profiles failed\n";
    }
    logLine() << L"Exiting\n";
    return walked ? 0 : 1;
}
