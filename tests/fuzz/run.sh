#!/usr/bin/env bash
# Builds the line parser's fuzz target with clang in a build directory of its
# own and runs it for a bounded time on a copy of the seed corpus (what the
# fuzzer finds stays out of the tree). A crash, a leak or a broken invariant
# fails the run and leaves the input that caused it in the working directory.
# Usage: tests/fuzz/run.sh [SECONDS [BUILD_DIR]]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
build=${2:-$root/build-fuzz}
"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTALVANE_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_parser
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp "$root/tests/fuzz/corpus/"* "$corpus/"
"$build/tests/fuzz/fuzz_parser" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "$corpus"
