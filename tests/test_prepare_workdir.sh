#!/usr/bin/env bash
# prepare-workdir.sh, run as run.sh runs it: into a fresh directory, and
# over a directory an older version left with links in bin/.
# Usage: test_prepare_workdir.sh PREPARE_SCRIPT BUILD_DIR
set -euo pipefail
prepare=$1
build=$2
tmp=$(mktemp -d /tmp/talvane-prepare-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Every entry must be an executable regular file of its own.
check_bin() {
    local entry
    for entry in "$1"/bin/*; do
        if [ -L "$entry" ]; then
            fail "$entry is a symbolic link"
        elif [ ! -f "$entry" ] || [ ! -x "$entry" ]; then
            fail "$entry is not an executable regular file"
        fi
    done
    for want in echo ls cat slovrel benivox; do
        [ -f "$1/bin/$want" ] || fail "$1/bin/$want is missing"
    done
    [ "$("$1/bin/echo" hello)" = hello ] || fail "$1/bin/echo does not run"
}

"$prepare" "$tmp/fresh" "$build"
check_bin "$tmp/fresh"

# An old run/: links into the system, one of them pointing at a file that
# stands in for the system's own program, and echo linked to itself.
mkdir -p "$tmp/old/bin"
echo precious > "$tmp/victim"
ln -s "$tmp/victim" "$tmp/old/bin/cat"
ln -s echo "$tmp/old/bin/echo"
"$prepare" "$tmp/old" "$build"
check_bin "$tmp/old"
[ "$(cat "$tmp/victim")" = precious ] || fail "the file behind an old link was overwritten"

# Run again over its own result: nothing changes but the copies.
"$prepare" "$tmp/fresh" "$build"
check_bin "$tmp/fresh"

[ "$failures" -eq 0 ] && echo "all checks passed"
exit "$((failures > 0))"
