#!/usr/bin/env bash
# Builds talvane and the benchmark's programs, starts talvane and the bash
# baseline on free 127.0.0.1 ports in a freshly prepared working directory,
# runs every figure and prints the table. Everything it started is stopped
# and the working directory removed when it ends, however it ends.
# Usage: bench/run.sh [--quick] [--rounds N]
#   --quick     one round, 60 lines per client in (a) and 10 in (c): under a
#               minute
#   --rounds N  N rounds (default 3); the table gives medians over them
# The build directory is build-bench beside the sources, or
# $TALVANE_BENCH_BUILD when set.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TALVANE_BENCH_BUILD:-$root/build-bench}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVANE_TESTS=OFF \
    -DTALVANE_SANITIZE=OFF -DTALVANE_BENCH=ON >/dev/null
cmake --build "$build" --parallel 2 --target talvane slovrel benivox bench_load bench_floor bench_bashd >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/talvane-bench.XXXXXX")
server_pid=
bash_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    [ -n "$bash_pid" ] && kill "$bash_pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$root/scripts/prepare-workdir.sh" "$work" "$build"

port=$("$build/bench/bench_load" --free-port)
(cd "$work" && exec "$build/talvane" "$port") &
server_pid=$!

# The listener prints its port once it listens; it ends by itself after an
# hour should this script be killed before it can stop it.
coproc BASHD { exec "$build/bench/bench_bashd" "$work" 3600; }
bash_pid=$BASHD_PID
read -r -t 10 bash_port <&"${BASHD[0]}"

# talvane is ready once its socket listens (a test connection would log in
# and disturb the descriptor count that the benchmark starts from).
listening=$(printf ':%04X 00000000:0000 0A' "$port")
for _ in $(seq 100); do
    grep -q "$listening" /proc/net/tcp && break
    sleep 0.05
done

"$build/bench/bench_load" --server-port "$port" --server-pid "$server_pid" \
    --bash-port "$bash_port" --floor "$build/bench/bench_floor" --workdir "$work" "$@"
