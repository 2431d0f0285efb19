// Shared by the fuzz targets: a scratch folder for the log (and the volume),
// and a log that is emptied between inputs so that it never grows.
#pragma once

#include <string>

namespace fuzz {

// A new folder under $TARNWICK_FUZZ_SCRATCH when set, else under /dev/shm
// when it is writable (inputs run thousands of times a second; the log writes
// one character at a time), else under the temporary directory. TMPDIR
// points at it, so the log goes there. Removed at exit, when the exit
// handlers run.
const std::string& scratchFolder();

// The log's bytes as written so far, then the log closed and removed.
std::string takeLog();

// Aborts with the message, so that libFuzzer records the input as a crash.
[[noreturn]] void fail(const std::string& message);

}  // namespace fuzz
