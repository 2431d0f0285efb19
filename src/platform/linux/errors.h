// Windows' status for what a Linux file operation reported in errno.
#pragma once

#include "platform/winapi.h"

// The status Windows gives for the same failure; `otherwise` for an errno
// that has no closer one (ERROR_WRITE_FAULT for writes, ERROR_READ_FAULT for
// reads).
LONG statusFromErrno(int error, LONG otherwise = ERROR_WRITE_FAULT);
