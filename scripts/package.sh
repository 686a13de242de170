#!/usr/bin/env bash
# Builds the Debian packages barnblast and barnblast-scoreboard into
# build/packages/ (built in build-package/, installed under /usr). Prints
# the paths of the two packages.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build/packages
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package --target barnblast barnblast-scoreboard -j "$(nproc)" >/dev/null
mkdir -p "$out"
rm -f "$out"/*.deb
(cd build-package && cpack -G DEB -B "$out" >"$out/cpack.log") || { cat "$out/cpack.log" >&2; exit 1; }
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
