#include "app/run.h"

#include <memory>
#include <utility>
#include <vector>

#include "app/options.h"
#include "hives/callback.h"
#include "hives/profiles.h"
#include "hives/user_hive.h"
#include "log/log.h"
#include "ops/processing.h"
#include "ops/reg_import.h"

namespace {

bool readImportFile(const CommandLineArgs& args, RegFile& file) {
    if (!args.importFile.has_value()) {
        logLine() << L"readRegistryFile: /import names no file\n";
        return false;
    }
    return readRegistryFile(*args.importFile, file);
}

}  // namespace

int runTarnwick(const wchar_t* argumentText) {
    logLine() << L"Started with command line: " << argumentText << L"\n";
    CommandLineArgs args = parseCommandLine(argumentText);
    logParsedArgs(args);
    // A set's type and data are read before anything else happens, so that a
    // mistyped number reaches no hive; the report above shows what was typed.
    // So is a registry file, whole, and a key deletion's subkey.
    RegFile file;
    if (!checkValueTypeAndData(args) || !checkKeyToDelete(args) ||
        (args.operation == Operation::importFile && !readImportFile(args, file))) {
        logLine() << L"Exiting\n";
        return 1;
    }

    std::vector<HiveWork> work;
    if (args.operation == Operation::importFile) {
        // One callback per hive the file changes, all sharing the one
        // read-only copy of the changes, so that every hive is loaded once
        // for all of them.
        auto changes = std::make_shared<const RegFile>(std::move(file));
        for (const UserHive hive : hivesOfRegistryFile(*changes)) {
            work.push_back({hive, [changes, hive](HKEY hiveRoot) { importFunc(*changes, hive, hiveRoot); }});
        }
    } else {
        // Software\Classes goes to each user's classes hive, everything else
        // (a missing subkey too, which every hive then reports) to ntuser.dat.
        const UserHive hive = args.subKey.has_value() ? userHiveOfSubKey(*args.subKey) : UserHive::profile;
        // The callback owns its own copy of the options, taken after the report.
        work.push_back({hive, [options = args](HKEY hiveRoot) { processingFunc(options, hiveRoot); }});
    }
    const bool walked = enumAllUserRegHives(args.includeDefaultProfile, work);
    if (!walked) {
        logLine() << L"Enumeration of user profiles failed\n";
    }
    logLine() << L"Exiting\n";
    return walked ? 0 : 1;
}
