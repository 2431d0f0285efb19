#pragma once

// Enables one privilege in the process token; true when it is now enabled.
bool enablePrivilege(const wchar_t* privilegeName);

// Enables the restore privilege (required) and the backup privilege
// (optional); false only when the restore privilege could not be enabled.
bool enableNeededPrivileges();
