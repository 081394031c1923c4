#!/usr/bin/env bash
# Prepares the machine, builds the instrument in build/ and starts it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

bash "$ROOT/scripts/setup.sh"

if [[ -f build/CMakeCache.txt ]] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' build/CMakeCache.txt; then
    rm -rf build
fi
if [[ ! -f build/build.ninja ]]; then
    cmake -S "$ROOT" -B build -G Ninja
fi
cmake --build build -j "$(nproc)"

APP="$ROOT/build/app/drovane-tuning-wendle"
if [[ ! -x "$APP" ]]; then
    echo "The application itself is not built yet: there is no window to start."
    echo "Everything else (libraries and tests) was built in build/."
    exit 0
fi
exec "$APP" "$@"
