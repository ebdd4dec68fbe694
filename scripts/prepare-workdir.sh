#!/usr/bin/env bash
# Prepares a working directory for talvane: DIR/bin holds the usual commands,
# linked from the system, and the built slovrel and benivox.
# Usage: prepare-workdir.sh DIR BUILD_DIR
set -euo pipefail
dir=$1
build=$2
mkdir -p "$dir/bin"
for cmd in ls cat wc grep head tail sort uniq tr echo sed cut sleep date rm; do
    path=$(command -v "$cmd" || true)
    [ -n "$path" ] && ln -sf "$path" "$dir/bin/$cmd"
done
cp -f "$build/slovrel" "$build/benivox" "$dir/bin/"
