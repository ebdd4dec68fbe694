#!/usr/bin/env bash
# The install rule puts talvane, slovrel and benivox in PREFIX/bin, and
# nothing else, and the installed talvane runs.
# Usage: test_install.sh BUILD_DIR
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$1" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . -mindepth 1 | sort | tr '\n' ' ')
if [ "$installed" != "./bin ./bin/benivox ./bin/slovrel ./bin/talvane " ]; then
    echo "installed: $installed" >&2
    exit 1
fi
version=$("$prefix/bin/talvane" --version)
[[ "$version" =~ ^talvane\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "version: $version" >&2; exit 1; }
