#!/usr/bin/env bash
# Builds everything and starts talvane on PORT (default 7001) with its
# working directory run/ prepared beside the sources. Further arguments go
# to talvane, e.g. scripts/run.sh 7001 --concurrent --bind 127.0.0.1
# Usage: scripts/run.sh [PORT] [OPTIONS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
port=${PORT:-7001}
if [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+$ ]]; then
    port=$1
    shift
fi
build=$root/build-run
# Only the three programs: running the server needs no test framework.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVANE_TESTS=OFF -DTALVANE_BENCH=OFF >/dev/null
cmake --build "$build" --parallel --target talvane slovrel benivox
"$root/scripts/prepare-workdir.sh" "$root/run" "$build"
cd "$root/run"
echo "talvane listening on port $port (working directory $root/run); connect with: nc 127.0.0.1 $port"
exec "$build/talvane" "$port" "$@"
