// The offline platform: the registry of a Windows volume mounted on Linux
// (HKEY_LOCAL_MACHINE\Software from the volume's SOFTWARE hive, read-only;
// HKEY_USERS holding the hives RegLoadKeyW loads from the volume), its
// environment, and the one terminal note about the volume.
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

// Closes every handle and drops every loaded hive without writing it, as a
// fresh process starts. For tests that run many cases in one process.
void resetRegistry();

// Open key handles, for checking that every one is closed.
int openKeyHandleCount();

// Back to the state of a fresh process: privileges disabled, no token open,
// the terminal note not yet printed. For tests that run many cases in one
// process.
void resetPlatformState();

}  // namespace offline
