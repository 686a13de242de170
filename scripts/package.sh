#!/usr/bin/env bash
# Builds the Debian packages barnblast and barnblast-scoreboard into
# build/packages/ (built in build-package/, installed under /usr). Prints
# the paths of the two packages.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build/packages
# Debian's hardening flags, as its own packages are built with.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build build-package --target barnblast barnblast-scoreboard -j "$(nproc)" >/dev/null
mkdir -p "$out"
rm -f "$out"/*.deb
(cd build-package && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; exit 1; }
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
