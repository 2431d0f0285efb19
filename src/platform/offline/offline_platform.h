// What the offline registry needs from the rest of the offline platform: the
// volume it works on, the one terminal note about it, and the token state.
#pragma once

#include <string>

namespace offline {

// The name of the environment variable that points at the mounted C: drive.
extern const char* const systemDriveVariable;

// The host directory of the mounted system drive. False when the variable is
// unset or empty; problem then says why, for the terminal note.
bool systemDriveDirectory(std::string& directory, std::string& problem);

// Prints one line on stderr naming the variable and what is wrong with it.
// Only the first note of a process is printed: the run meets the same
// problem at every profile, and the log already has the details.
void noteVolumeProblem(const std::string& problem);

// Whether AdjustTokenPrivileges has enabled SeRestorePrivilege, which
// RegLoadKeyW and RegUnLoadKeyW need, as on Windows.
bool restorePrivilegeEnabled();

// Back to the state of a fresh process: privileges disabled, no token open,
// the terminal note not yet printed. For tests that run many cases in one
// process.
void resetPlatformState();

}  // namespace offline
