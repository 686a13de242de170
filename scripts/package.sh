#!/usr/bin/env bash
# Builds the Debian packages barnblast and barnblast-scoreboard into
# build/packages/ (compiled in build-package/ for the prefix /usr, with
# Debian's hardening flags). Prints the two packages' paths; the build's
# output goes to build/packages/build.log, shown only when something fails.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build/packages
mkdir -p "$out"
rm -f "$out"/*.deb
log=$out/build.log
# Without debug information: the packages' files are stripped
# (CPACK_STRIP_FILES), so it would only lengthen the build.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g \
    dpkg-buildflags --export=sh)"
if ! {
    cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
        -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
        -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" &&
        cmake --build build-package --target barnblast barnblast-scoreboard -j "$(nproc)" &&
        (cd build-package && cpack -G DEB -B "$out")
} >"$log" 2>&1; then
    cat "$log" >&2
    echo "package: failed; the output above is also in $log" >&2
    exit 1
fi
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
