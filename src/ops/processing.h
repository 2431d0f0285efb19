#pragma once

#include "app/options.h"
#include "registry/registry.h"

// Sets or deletes the requested value, or deletes the requested key with
// everything below it, below one hive root, which is the root
// of the user hive that holds the subkey (userHiveOfSubKey), at the subkey's
// path inside that hive. Every failure is logged and nothing is reported
// back, so one hive cannot stop the walk.
void processingFunc(const CommandLineArgs& args, HKEY hiveRoot);

// Reads /vtype and /vstr as a set stores them, before anything else happens,
// for every run but a delete, which ignores /vtype. Logs the one line that
// says what is wrong and returns false when the type is unknown or the data
// does not parse.
bool checkValueTypeAndData(const CommandLineArgs& args);

// A key deletion's subkey must name a key below a hive's root: /k '' (or
// Software\Classes, the classes hive's root) would empty a user's hive.
// Logs the one line that says so and returns false for such a run; true for
// every other run.
bool checkKeyToDelete(const CommandLineArgs& args);
