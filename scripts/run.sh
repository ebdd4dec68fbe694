#!/usr/bin/env bash
# Builds everything and starts talvane on PORT (default 7001) with its
# working directory run/ prepared beside the sources.
# Usage: scripts/run.sh [PORT]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
port=${1:-${PORT:-7001}}
build=$root/build-run
# Only the three programs: running the server needs no test framework.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVANE_TESTS=OFF -DTALVANE_BENCH=OFF >/dev/null
cmake --build "$build" --parallel --target talvane slovrel benivox
"$root/scripts/prepare-workdir.sh" "$root/run" "$build"
cd "$root/run"
echo "talvane listening on port $port (working directory $root/run); connect with: nc 127.0.0.1 $port"
exec "$build/talvane" "$port"
