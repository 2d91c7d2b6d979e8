#!/usr/bin/env bash
# Installs what is missing, builds the program plainly and packs it for Debian:
# build/quorvane_<version>_amd64.deb. A build folder made here leaves the tests out; one made
# by scripts/test.sh keeps them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
extra=()
if [ ! -f "$root/build/CMakeCache.txt" ]; then
    extra=(-DQUORVANE_TESTS=OFF)
fi
"$root/scripts/build.sh" "$root/build" -DQUORVANE_SANITIZE=OFF "${extra[@]}"
cpack --config "$root/build/CPackConfig.cmake" -B "$root/build"
