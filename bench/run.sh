#!/usr/bin/env bash
# Builds talvane and the benchmark's programs, starts two talvane servers
# (the default mode and --concurrent) and the bash baseline on free 127.0.0.1
# ports in a freshly prepared working directory, runs every figure and prints
# the table. Everything it started is stopped and the working directory
# removed when it ends, however it ends.
# Usage: bench/run.sh [--quick] [--rounds N]
#   --quick     one round, 60 lines per client in (a), 10 in (c), a 1 s idle
#               series in (f), 1,000 commands instead of 10,000 in (g), 300
#               pairs instead of 1,500 in (h): about a minute
#   --rounds N  N rounds (default 3); the table gives medians over them, but
#               (h) runs in the first round only (about a minute a mode)
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
concurrent_pid=
bash_pid=
watchdog_pid=
cleanup() {
    for pid in "$server_pid" "$concurrent_pid" "$bash_pid" "$watchdog_pid"; do
        if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; fi
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$root/scripts/prepare-workdir.sh" "$work" "$build"

# Both servers share the working directory: the benchmark's lines only read
# it (ls, cat big, sleep), so neither can see anything of the other there,
# and both list the same files and stream the same cached file.
ports=$("$build/bench/bench_load" --free-port 2)
port=$(sed -n 1p <<<"$ports")
concurrent_port=$(sed -n 2p <<<"$ports")
(cd "$work" && exec "$build/talvane" "$port") &
server_pid=$!
(cd "$work" && exec "$build/talvane" --concurrent "$concurrent_port") &
concurrent_pid=$!

# The listener prints its port once it listens; it ends by itself after an
# hour should this script be killed before it can stop it.
coproc BASHD { exec "$build/bench/bench_bashd" "$work" 3600; }
bash_pid=$BASHD_PID
read -r -t 10 bash_port <&"${BASHD[0]}"

# Should this script be killed outright, so that its trap never runs, the
# watchdog stops what it started and removes the working directory once the
# script is gone.
script_pid=$$
(
    while kill -0 "$script_pid" 2>/dev/null; do sleep 1; done
    kill "$server_pid" "$concurrent_pid" "$bash_pid" 2>/dev/null
    rm -rf "$work"
) </dev/null >/dev/null 2>&1 &
watchdog_pid=$!

# A server is ready once its socket listens (a test connection would log in
# and disturb the descriptor count that the benchmark starts from).
for p in "$port" "$concurrent_port"; do
    listening=$(printf ':%04X 00000000:0000 0A' "$p")
    for _ in $(seq 100); do
        grep -q "$listening" /proc/net/tcp && break
        sleep 0.05
    done
done

"$build/bench/bench_load" --server-port "$port" --server-pid "$server_pid" \
    --concurrent-port "$concurrent_port" --concurrent-pid "$concurrent_pid" \
    --bash-port "$bash_port" --floor "$build/bench/bench_floor" --workdir "$work" "$@"
