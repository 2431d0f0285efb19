#!/bin/sh
# Builds everything and runs every test: the unit tests and the registry
# contract on the in-memory registry, the offline tests on real hive files,
# and, under Wine, the contract on Windows' own registry and the end-to-end
# tests of tarnwick.exe.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
tarnwick_install_missing

jobs=${TARNWICK_JOBS:-2}
cmake --preset host -G Ninja >/dev/null
cmake --build build/host -j "$jobs"
cmake --preset windows -G Ninja >/dev/null
cmake --build build/windows -j "$jobs"

status=0
failed=""
# Records a failed step, with the names of the ctest tests that failed in it.
step_failed() {
    status=1
    names=""
    if [ -n "${2:-}" ] && [ -f "$2/Testing/Temporary/LastTestsFailed.log" ]; then
        names=$(sed 's/^[0-9]*://' "$2/Testing/Temporary/LastTestsFailed.log" | tr '\n' ' ')
    fi
    failed="$failed
  $1${names:+: $names}"
}

ctest --test-dir build/host --output-on-failure -j "$jobs" || step_failed "host build (build/host)" build/host
# Wine tests run one at a time: each has its own prefix and wineserver.
ctest --test-dir build/windows --output-on-failure || step_failed "Windows build under Wine (build/windows)" build/windows

# The unit and offline tests again under AddressSanitizer and UndefinedBehavior-
# Sanitizer, then each fuzz target for a bounded time (scripts/fuzz.sh).
cmake --preset host-asan -G Ninja >/dev/null
cmake --build build/asan -j "$jobs" --target unit_tests offline_tests registry_contract_memory registry_contract_offline replay_tests
ctest --test-dir build/asan --output-on-failure -j "$jobs" \
    -R '^(unit_tests|offline_tests|registry_contract_memory|registry_contract_offline|replay_tests)$' ||
    step_failed "sanitizers (build/asan)" build/asan
sh scripts/fuzz.sh || step_failed "fuzzing (scripts/fuzz.sh; inputs in build/fuzz/artifacts)"
if [ "$status" -eq 0 ]; then
    echo "All tests passed."
else
    echo "Some tests FAILED:$failed" >&2
fi
exit "$status"
