#!/usr/bin/env bash
# The loaded check: fresh clones of the current commit run .ci/run one after
# another, beside 8 busy processes at nice 10 that this script starts and
# stops. Prints each run's result line ("tests: N passed, M failed") and time.
# Exits non-zero when any run fails.
#
# usage: scripts/loaded-check.sh [-n RUNS] [--no-load] [--keep]
#   -n RUNS    how many fresh-clone runs (default 3)
#   --no-load  no busy processes: the same runs on an otherwise idle machine
#   --keep     keep the clones (each with its build folders) for a look after
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUNS=3 LOAD=1 KEEP=0
while [[ $# -gt 0 ]]; do
    case "$1" in
        -n) RUNS="${2:?-n needs a number}"; shift 2 ;;
        --no-load) LOAD=0; shift ;;
        --keep) KEEP=1; shift ;;
        -h | --help) sed -n '2,10p' "${BASH_SOURCE[0]}" | cut -c3-; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
[[ $RUNS =~ ^[1-9][0-9]*$ ]] || { echo "-n takes a number of runs" >&2; exit 2; }

COMMIT="$(git -C "$ROOT" rev-parse HEAD)" || exit 1
[[ -z $(git -C "$ROOT" status --porcelain --untracked-files=no) ]] ||
    echo "note: uncommitted changes are not in the clones; they run $COMMIT" >&2
WORK="$(mktemp -d "${TMPDIR:-/tmp}/wendle-loaded.XXXXXX")"
LOAD_PIDS=()

stop_load() {
    [[ ${#LOAD_PIDS[@]} -gt 0 ]] || return 0
    kill "${LOAD_PIDS[@]}" 2>/dev/null
    wait "${LOAD_PIDS[@]}" 2>/dev/null
    LOAD_PIDS=()
}
trap 'stop_load; [[ $KEEP -eq 1 ]] || rm -rf "$WORK/clone"-*' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [[ $LOAD -eq 1 ]]; then
    for _ in $(seq 8); do
        nice -n 10 sh -c 'while :; do :; done' &
        LOAD_PIDS+=($!)
    done
    echo "load: 8 busy processes at nice 10 (${LOAD_PIDS[*]})"
fi

failed=0
for run in $(seq "$RUNS"); do
    clone="$WORK/clone-$run" log="$WORK/run-$run.log"
    start=$SECONDS
    if ! git clone -q --no-checkout "$ROOT" "$clone" || ! git -C "$clone" checkout -q --detach "$COMMIT"; then
        echo "run $run: could not clone $ROOT at $COMMIT" >&2
        exit 1
    fi
    # The Pure Data source as this checkout has it; without it setup.sh fetches it.
    [[ -e $ROOT/third_party/puredata/src/z_libpd.c ]] && cp -rL "$ROOT/third_party" "$clone/third_party"
    bash "$clone/.ci/run" >"$log" 2>&1
    status=$?
    result="$(grep -E '^tests: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1)"
    echo "run $run: ${result:-no result line} (exit $status) in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s; log $log"
    if [[ $status -ne 0 ]]; then
        failed=$((failed + 1))
        sed -n '/^\[test\] failing checks:/,/^\[test\] FAILED/p' "$log" | head -n 40
    fi
    [[ $KEEP -eq 1 ]] || rm -rf "$clone"
done
stop_load
echo "$((RUNS - failed)) of $RUNS runs passed$([[ $LOAD -eq 1 ]] && echo ' under load')"
[[ $failed -eq 0 ]]
