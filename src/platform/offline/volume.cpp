// The volume the offline platform works on, and the state of a fresh process.
#include <cstdio>
#include <cstdlib>

#include "platform/emulation/registry.h"
#include "platform/emulation/token.h"
#include "platform/offline/offline_platform.h"

namespace offline {

const char* const systemDriveVariable = "TARNWICK_SYSTEM_DRIVE";

namespace {
bool volumeProblemNoted = false;
}

bool systemDriveDirectory(std::string& directory, std::string& problem) {
    const char* value = std::getenv(systemDriveVariable);
    if (value == nullptr || *value == '\0') {
        problem = " is not set; set it to the directory where the Windows system drive (C:) is mounted";
        return false;
    }
    directory = value;
    return true;
}

void noteVolumeProblem(const std::string& problem) {
    if (volumeProblemNoted) {
        return;
    }
    volumeProblemNoted = true;
    std::fprintf(stderr, "tarnwick: %s%s\n", systemDriveVariable, problem.c_str());
    std::fflush(stderr);
}

void resetRegistry() { emulation::resetRegistry(); }

int openKeyHandleCount() { return emulation::openKeyCount(); }

void resetPlatformState() {
    emulation::resetToken();
    volumeProblemNoted = false;
}

}  // namespace offline
