#!/usr/bin/env bash
# Prepares a working directory for talvane: DIR/bin holds copies of the usual
# commands and of the built slovrel and benivox.
# Usage: prepare-workdir.sh DIR BUILD_DIR
#
# Copies, never links: users can write into bin/ ("ls > bin/cat"), and
# through a link that would overwrite the system's own program. Each entry
# is removed before it is copied, since cp onto a link left by an older
# version of this script would write through it all the same.
set -euo pipefail
dir=$1
build=$2
mkdir -p "$dir/bin"

# Replaces DIR/bin/NAME by a copy of the file at PATH (links followed).
install_copy() {
    rm -f "$dir/bin/$1"
    cp -L "$2" "$dir/bin/$1"
}

for cmd in ls cat wc grep head tail sort uniq tr echo sed cut sleep date rm; do
    # type -P looks for a file only; command -v names built-ins such as echo.
    path=$(type -P "$cmd" || true)
    if [ -n "$path" ]; then
        install_copy "$cmd" "$path"
    fi
done
install_copy slovrel "$build/slovrel"
install_copy benivox "$build/benivox"
