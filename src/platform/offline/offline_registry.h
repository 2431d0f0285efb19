// The offline registry: HKEY_LOCAL_MACHINE\Software from the volume's SOFTWARE
// hive (read-only) and HKEY_USERS holding the hives RegLoadKeyW loads.
#pragma once

namespace offline {

// Closes every handle and drops every loaded hive without writing it, as a
// fresh process starts. For tests that run many cases in one process.
void resetRegistry();

// Open key handles, for checking that every one is closed.
int openKeyHandleCount();

}  // namespace offline
