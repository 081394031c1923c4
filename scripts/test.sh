#!/usr/bin/env bash
# Builds the instrument and runs every test three ways: a plain build
# (build/), AddressSanitizer with UndefinedBehaviorSanitizer (build-asan/),
# and ThreadSanitizer for the tests labelled "threaded" (build-tsan/).
# Build folders are reused, so a second run only rebuilds what changed.
# Exits non-zero when any build or test fails.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
JOBS="$(nproc)"

bash "$ROOT/scripts/setup.sh" || { echo "setup failed" >&2; exit 1; }

failed=()
timings=()
passed_count=0
failed_count=0
ctest_log="$(mktemp)"
fail_lines="$(mktemp)"
trap 'rm -f "$ctest_log" "$fail_lines"' EXIT

# run_ctest <dir> <ctest args...>: runs ctest in <dir> and adds its summary
# to the totals printed at the end.
run_ctest() {
    local dir="$1"
    shift
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" "$@") 2>&1 | tee "$ctest_log"
    local rc=${PIPESTATUS[0]}
    # The failing checks again, so that they stand at the end of a long log.
    grep -E '^(FAIL!  :|   Loc: |[0-9]+/[0-9]+ Test +#[0-9]+: .*(Failed|Timeout|Exception))|==[0-9]+==ERROR|WARNING: ThreadSanitizer|runtime error:' "$ctest_log" \
        | sed "s|^|$dir: |" >>"$fail_lines"
    local summary
    summary="$(sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$ctest_log" | tail -n 1)"
    if [[ -n $summary ]]; then
        local nfail=${summary% *} total=${summary#* }
        failed_count=$((failed_count + nfail))
        passed_count=$((passed_count + total - nfail))
    elif [[ $rc -ne 0 ]]; then
        failed_count=$((failed_count + 1))
    fi
    return "$rc"
}

log() { printf '\n[test] %s\n' "$*"; }

# configure <dir> <sanitizers> [cmake args...]: configures with Ninja when the
# folder is new or was set up for other sanitizers; otherwise Ninja re-runs
# CMake by itself when a CMakeLists.txt changes.
configure() {
    local dir="$1" sanitize="$2"
    shift 2
    local cache="$dir/CMakeCache.txt"
    if [[ -f $cache ]] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$cache"; then
        log "$dir was configured with another generator; starting it afresh"
        rm -rf "$dir"
    fi
    if [[ ! -f "$dir/build.ninja" ]] || ! grep -qxF "WENDLE_SANITIZE:STRING=$sanitize" "$cache"; then
        cmake -S "$ROOT" -B "$dir" -G Ninja -DWENDLE_SANITIZE="$sanitize" "$@"
    fi
}

# stage <name> <dir> <sanitizers> [cmake args] -- [ctest args]; the
# environment for ctest comes from the caller.
stage() {
    local name="$1" dir="$2" sanitize="$3"
    shift 3
    local cmake_args=() ctest_args=()
    while [[ $# -gt 0 && $1 != -- ]]; do cmake_args+=("$1"); shift; done
    [[ $# -gt 0 ]] && shift
    ctest_args=("$@")

    local start=$SECONDS
    log "$name: configure and build in $dir"
    if ! configure "$dir" "$sanitize" "${cmake_args[@]}" || ! cmake --build "$dir" -j "$JOBS"; then
        failed+=("$name (build)")
        timings+=("$name: $((SECONDS - start)) s (build failed)")
        return
    fi
    log "$name: tests"
    if ! run_ctest "$dir" "${ctest_args[@]}"; then
        failed+=("$name (tests)")
    fi
    timings+=("$name: $((SECONDS - start)) s")
}

stage "plain" build "" --

ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp" \
    stage "address+undefined" build-asan "address;undefined" --

# ThreadSanitizer: only the programs of the "threaded" tests are built (test
# and target names are the same), and no such test is not a failure.
tsan_start=$SECONDS
log "thread: configure in build-tsan"
if configure build-tsan thread && cmake --build build-tsan --target build.ninja >/dev/null; then
    mapfile -t threaded < <(cd build-tsan && ctest -N -L threaded | sed -nE 's/^[[:space:]]*Test[[:space:]]+#[0-9]+:[[:space:]]+([^[:space:]]+).*/\1/p')
    if [[ ${#threaded[@]} -eq 0 ]]; then
        log "thread: no test is labelled \"threaded\"; nothing to run"
        timings+=("thread: $((SECONDS - tsan_start)) s (no threaded tests)")
    elif ! cmake --build build-tsan -j "$JOBS" --target "${threaded[@]}"; then
        failed+=("thread (build)")
        timings+=("thread: $((SECONDS - tsan_start)) s (build failed)")
    else
        log "thread: tests ${threaded[*]}"
        if ! TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp" \
                run_ctest build-tsan -L threaded --no-tests=error; then
            failed+=("thread (tests)")
        fi
        timings+=("thread: $((SECONDS - tsan_start)) s")
    fi
else
    failed+=("thread (configure)")
fi

log "time per stage:"
printf '  %s\n' "${timings[@]}"
if [[ -s $fail_lines ]]; then
    log "failing checks:"
    cut -c1-400 "$fail_lines"
fi
if [[ ${#failed[@]} -gt 0 ]]; then
    log "FAILED: ${failed[*]}"
    [[ $failed_count -gt 0 ]] || failed_count=1
fi
echo
echo "tests: $passed_count passed, $failed_count failed"
[[ ${#failed[@]} -eq 0 ]]
