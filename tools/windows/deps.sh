#!/usr/bin/env bash
# Builds the libraries the Windows game links, from Debian's source packages,
# with the mingw-w64 cross compilers, into a cache folder outside the
# repository. Nothing prebuilt is fetched: every file is pinned by version and
# SHA-256 in deps/pins.txt. A second run with the same pins, recipes, scripts
# and toolchain does nothing.
#
#   tools/windows/deps.sh            build (or confirm) the cache
#   tools/windows/deps.sh --prefix   print the install prefix and exit
#
# BARNBLAST_WINDOWS_DEPS moves the cache (default below), DEBIAN_MIRROR the
# archive, JOBS the parallel jobs.
#
# deps/pins.txt        the files fetched, with their SHA-256
# deps/recipes/*.sh    one library each: how it is configured, built, installed
# deps/helpers.sh      what the recipes build with (CMake, autotools, logs)
# deps/lanes.sh        the scheduler: three lanes of packages side by side
# shellcheck source-path=SCRIPTDIR
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
toolchain=$repo/cmake/MingwToolchain.cmake
cache=${BARNBLAST_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/barnblast/windows-deps}
prefix=$cache/prefix
downloads=$cache/downloads
work=$cache/work
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
jobs=${JOBS:-$(nproc)}
host=x86_64-w64-mingw32

if [[ ${1:-} == --prefix ]]; then
    echo "$prefix"
    exit 0
fi

# shellcheck source=deps/helpers.sh
source "$here/deps/helpers.sh"
# shellcheck source=deps/lanes.sh
source "$here/deps/lanes.sh"

for tool in $host-gcc-posix $host-g++-posix $host-ar cmake pkg-config dpkg-source curl sha256sum make autoreconf gcc; do
    command -v "$tool" > /dev/null || { echo "deps: $tool is missing (scripts/windows.sh installs it)" >&2; exit 1; }
done
[[ -f /usr/include/boost/json/src.hpp ]] || { echo "deps: Boost headers are missing (libboost1.81-dev)" >&2; exit 1; }

# The stamp: this script and every file under deps/ (pins, recipes, helpers,
# scheduler), named and hashed, the toolchain file, the compiler and the
# Boost headers linked into the prefix.
stamp_text() {
    (cd "$repo" && LC_ALL=C find tools/windows/deps -type f | LC_ALL=C sort |
        xargs sha256sum tools/windows/deps.sh cmake/MingwToolchain.cmake)
    $host-g++-posix --version | head -n1
    dpkg-query -W -f='${Version}\n' libboost1.81-dev 2> /dev/null || echo "boost headers"
}
stamp=$prefix/.barnblast-deps-stamp
if [[ -f $stamp ]] && [[ "$(stamp_text)" == "$(cat "$stamp")" ]]; then
    step "up to date in $prefix"
    exit 0
fi

started=$(date +%s)
# A changed script starts from nothing, except with BARNBLAST_DEPS_KEEP=1
# (for working on a recipe), which keeps the packages already built.
if [[ ${BARNBLAST_DEPS_KEEP:-} != 1 ]]; then
    rm -rf "$prefix" "$work"
fi
mkdir -p "$prefix" "$work" "$downloads"

mapfile -t pins < <(grep -Ev '^[[:space:]]*(#|$)' "$here/deps/pins.txt")
step "fetch: checking ${#pins[@]} files from $mirror"
for entry in "${pins[@]}"; do
    read -r path sum <<< "$entry"
    [[ $sum =~ ^[0-9a-f]{64}$ ]] || { echo "deps: deps/pins.txt: no SHA-256 in: $entry" >&2; exit 1; }
    file=$downloads/$(basename "$path")
    if ! echo "$sum  $file" | sha256sum -c --status 2> /dev/null; then
        step "fetch: $(basename "$path")"
        curl -fsSL --retry 3 -o "$file.part" "$mirror/pool/${path//+/%2b}"
        mv "$file.part" "$file"
        echo "$sum  $file" | sha256sum -c --quiet || { rm -f "$file"; exit 1; }
    fi
done

export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib
export CFLAGS="-O2" CXXFLAGS="-O2" CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib"

# Ninja where it is installed: its try_compile projects (most of a configure
# step here) and its builds start faster than Makefiles'.
generator="Unix Makefiles"
command -v ninja > /dev/null && generator=Ninja

# One recipe per package the lanes name, each defining build_<package>.
# shellcheck disable=SC2048 # one word per package
for package in ${lanes[*]}; do
    # shellcheck source=/dev/null
    source "$here/deps/recipes/$package.sh"
done
run_lanes

stamp_text > "$stamp"
step "done in $(($(date +%s) - started)) s: $prefix"
