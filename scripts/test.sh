#!/bin/sh
# Builds everything and runs every test: the unit tests and the registry
# contract on the in-memory registry, the offline tests on real hive files,
# and, under Wine, the contract on Windows' own registry and the end-to-end
# tests of tarnwick.exe; the unit and offline tests again under Address-
# Sanitizer and UndefinedBehaviorSanitizer; then each fuzz target for a
# bounded time (scripts/fuzz.sh).
#
# The builds come first, each with every job. Most tests keep at most one
# core busy (the crash test, a Wine prefix, a fuzz target), so the tests then
# run in four lanes at once: the host build's, the Wine tests (two at a time,
# each in its own prefix), the sanitizer build's, and the fuzz targets. Each
# lane writes build/test-logs/<lane>.log, printed when all have ended.
#   TARNWICK_JOBS          parallel jobs (default 2)
#   TARNWICK_FUZZ_SECONDS  time per fuzz target (default here 30)
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
tarnwick_install_missing
# No compiled Python caches beside the test scripts.
export PYTHONDONTWRITEBYTECODE=1

jobs=${TARNWICK_JOBS:-2}
export TARNWICK_FUZZ_SECONDS="${TARNWICK_FUZZ_SECONDS:-30}"
sanitizer_tests="unit_tests offline_tests registry_contract_memory registry_contract_offline replay_tests hive_invariants_test engine_tests"
started=$(date +%s)

timed() {
    label=$1
    shift
    from=$(date +%s)
    "$@"
    echo "== $label: $(($(date +%s) - from)) s"
}

cmake --preset host -G Ninja >/dev/null
timed "host build" cmake --build build/host -j "$jobs"
cmake --preset windows -G Ninja >/dev/null
timed "Windows build" cmake --build build/windows -j "$jobs"
cmake --preset host-asan -G Ninja >/dev/null
timed "sanitizer build" cmake --build build/asan -j "$jobs" --target $sanitizer_tests
timed "fuzz build" sh scripts/fuzz.sh --build-only

logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"
# Runs a lane in the background; its output goes to $logs/NAME.log, and its
# exit status and seconds to $logs/NAME.status.
lane() {
    name=$1
    shift
    (
        from=$(date +%s)
        rc=0
        "$@" >"$logs/$name.log" 2>&1 </dev/null || rc=$?
        echo "$rc $(($(date +%s) - from))" >"$logs/$name.status"
    ) &
}
# The programs' tests, those of Windows' own hives among them.
sanitizer_filter="^($(echo $sanitizer_tests | tr ' ' '|')|offline_windows_hives|replay_windows_hives|hive_invariants_windows_hives|engine_windows_hives)$"
lane host ctest --test-dir build/host --output-on-failure -j "$jobs"
lane windows ctest --test-dir build/windows --output-on-failure -j "$jobs"
lane sanitizers ctest --test-dir build/asan --output-on-failure -j "$jobs" -R "$sanitizer_filter"
lane fuzz sh scripts/fuzz.sh --run-only
wait

status=0
failed=""
passed=0
failures=0
skipped=0
skips=""
for name in host windows sanitizers fuzz; do
    case $name in
    host) what="host build (build/host)" dir=build/host ;;
    windows) what="Windows build under Wine (build/windows)" dir=build/windows ;;
    sanitizers) what="sanitizers (build/asan)" dir=build/asan ;;
    fuzz) what="fuzzing (scripts/fuzz.sh; inputs in build/fuzz/artifacts)" dir="" ;;
    esac
    read -r rc seconds <"$logs/$name.status"
    echo
    echo "==== $what: exit status $rc, $seconds s"
    cat "$logs/$name.log"
    if [ -n "$dir" ]; then
        # ctest's closing lines: "N% tests passed, F tests failed out of T",
        # and under "The following tests did not run:" one "(Skipped)" line
        # each, whose reason is the test's own first line that says it skipped.
        total=$(sed -n 's/.* tests failed out of \([0-9]*\)$/\1/p' "$logs/$name.log")
        lost=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$logs/$name.log")
        names=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$logs/$name.log")
        count=0
        for test in $names; do
            count=$((count + 1))
            why=$(awk -v test="$test" '
                /^[0-9]+\/[0-9]+ Test: / { current = $3 }
                current == test && tolower($0) ~ /^(\*+ )?skipped:|not run/ { print; exit }
            ' "$dir/Testing/Temporary/LastTest.log")
            skips="$skips
  $test ($dir): ${why:-no reason given}"
        done
        skipped=$((skipped + count))
        passed=$((passed + ${total:-0} - ${lost:-0} - count))
        failures=$((failures + ${lost:-0}))
    else
        targets=$(grep -c '^Fuzzing ' "$logs/$name.log" || true)
        failing=$(grep -c ' FAILED; ' "$logs/$name.log" || true)
        passed=$((passed + targets - failing))
        failures=$((failures + failing))
    fi
    if [ "$rc" -ne 0 ]; then
        status=1
        names=""
        if [ -n "$dir" ] && [ -f "$dir/Testing/Temporary/LastTestsFailed.log" ]; then
            names=$(sed 's/^[0-9]*://' "$dir/Testing/Temporary/LastTestsFailed.log" | tr '\n' ' ')
        fi
        failed="$failed
  $what${names:+: $names}"
    fi
done

echo
echo "== builds and tests: $(($(date +%s) - started)) s; the test lanes, at once:$(for name in host windows sanitizers fuzz; do
    printf ' %s %s s' "$name" "$(cut -d' ' -f2 "$logs/$name.status")"
done)"
if [ "$skipped" -gt 0 ]; then
    echo "$skipped tests skipped:$skips"
fi
if [ "$status" -eq 0 ]; then
    echo "All tests passed."
else
    echo "Some tests FAILED:$failed" >&2
fi
echo "Summary: $passed passed, $failures failed, $skipped skipped"
exit "$status"
