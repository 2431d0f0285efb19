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
ctest --test-dir build/host --output-on-failure -j "$jobs" || status=1
# Wine tests run one at a time: each has its own prefix and wineserver.
ctest --test-dir build/windows --output-on-failure || status=1

# The unit and offline tests again under AddressSanitizer and UndefinedBehavior-
# Sanitizer, then each fuzz target for a bounded time (scripts/fuzz.sh).
cmake --preset host-asan -G Ninja >/dev/null
cmake --build build/asan -j "$jobs" --target unit_tests offline_tests registry_contract_memory registry_contract_offline replay_tests
ctest --test-dir build/asan --output-on-failure -j "$jobs" \
    -R '^(unit_tests|offline_tests|registry_contract_memory|registry_contract_offline|replay_tests)$' || status=1
sh scripts/fuzz.sh || status=1
if [ "$status" -eq 0 ]; then
    echo "All tests passed."
else
    echo "Some tests FAILED." >&2
fi
exit "$status"
