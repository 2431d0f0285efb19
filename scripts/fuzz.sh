#!/bin/sh
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for a bounded time, starting from the seeds in
# tests/fuzz/corpus. New inputs go to a scratch corpus, never into the repo;
# a failing input is kept in build/fuzz/artifacts/.
#   scripts/fuzz.sh [--build-only | --run-only]
#   TARNWICK_FUZZ_SECONDS  time per target (default 60)
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
tarnwick_install_missing

seconds=${TARNWICK_FUZZ_SECONDS:-60}
jobs=${TARNWICK_JOBS:-2}
if [ "${1:-}" != --run-only ]; then
    cmake --preset fuzz -G Ninja >/dev/null
    cmake --build build/fuzz -j "$jobs" --target fuzz_command_line fuzz_hive_file fuzz_log_replay fuzz_reg_file
fi
[ "${1:-}" != --build-only ] || exit 0

# Extra seeds from the hives Windows wrote, when they are beside the
# repository: for fuzz_log_replay each primary alone and with its logs joined
# to it by the separator of tests/fuzz/log_replay_input.h; for fuzz_hive_file
# (whose inputs are loaded, changed and written back, so kept few) the dirty
# ones with their logs only, and Windows 10's recovery of NewDirtyHive with
# that hive's logs (clean with new-format logs: written in place). Made in a scratch folder for the run only; these
# files never go into the repository.
windows_seeds() {
    hives=../shared/hives/windows-written
    [ -d "$hives" ] || return 0
    separator="=TARNWICK-LOG="
    new=$hives/NewDirtyHive1
    if [ "$2" = dirty ] && [ -f "$new/RecoveredHive_Windows10" ]; then
        {
            cat "$new/RecoveredHive_Windows10"
            for log in LOG1 LOG2; do printf '%s' "$separator"; cat "$new/NewDirtyHive.$log"; done
        } >"$1/RecoveredHive_Windows10-with-logs"
    fi
    find "$hives" -type f ! -name '*.LOG*' ! -name 'LICENSE*' | while read -r primary; do
        name=$(basename "$primary")
        folder=$(basename "$(dirname "$primary")")
        if [ "$2" = all ]; then cp "$primary" "$1/$folder-$name"; fi
        if [ -f "$primary.LOG1" ] || [ -f "$primary.LOG2" ]; then
            {
                cat "$primary"
                for log in LOG1 LOG2; do
                    printf '%s' "$separator"
                    if [ -f "$primary.$log" ]; then cat "$primary.$log"; fi
                done
            } >"$1/$folder-$name-with-logs"
        fi
    done
}

artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"
status=0
for target in fuzz_command_line fuzz_hive_file fuzz_log_replay fuzz_reg_file; do
    work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-corpus.XXXXXX")
    # The volume and the log of the target; in memory when /dev/shm is there.
    if [ -w /dev/shm ]; then scratch=$(mktemp -d /dev/shm/tarnwick-fuzz.XXXXXX); else scratch=$(mktemp -d); fi
    extra=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-seeds.XXXXXX")
    if [ "$target" = fuzz_log_replay ]; then windows_seeds "$extra" all; fi
    if [ "$target" = fuzz_hive_file ]; then windows_seeds "$extra" dirty; fi
    echo "Fuzzing $target for ${seconds}s"
    if TARNWICK_FUZZ_SCRATCH="$scratch" build/fuzz/tests/fuzz/$target -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$work" "tests/fuzz/corpus/$target" "$extra" >"$artifacts/$target.log" 2>&1; then
        grep -E "cov: [0-9]+" "$artifacts/$target.log" | tail -n 1 || true
        grep -E "^Done" "$artifacts/$target.log" || true
    else
        echo "$target FAILED; input and report in $artifacts/" >&2
        grep -E -A 30 "fuzz check failed|ERROR|runtime error|SUMMARY" "$artifacts/$target.log" | head -n 60 >&2
        status=1
    fi
    rm -rf "$work" "$scratch" "$extra"
done
exit "$status"
