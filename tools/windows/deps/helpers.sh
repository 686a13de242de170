# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# What the recipes build with: progress lines, the end of a failed step's
# log, unpacking a source package, and a CMake or autotools build installed
# into the prefix. Sourced by deps.sh, which sets host, prefix, work,
# downloads, toolchain, generator and jobs.

step() { echo "deps: [$(date -u +%H:%M:%S)] $*"; }

# Ends a build with the end of its log (the lanes' other output may come
# between, so the log is named).
failed() {
    step "failed: the end of $1"
    tail -n 40 "$1"
    exit 1
}

# Unpacks a source package (Debian's patches applied) into $work/$1.
unpack() {
    local name=$1 dsc=$2
    step "$name: unpack"
    rm -rf "${work:?}/$name"
    dpkg-source --no-check --no-copy -x "$downloads/$dsc" "$work/$name" > /dev/null
}

cmake_build() {
    local name=$1 src=$2
    shift 2
    step "$name: configure"
    rm -rf "${work:?}/$name-build"
    # -O2 as Debian builds them (CMake's Release default is -O3, slower to
    # compile for nothing these libraries need).
    cmake -S "$src" -B "$work/$name-build" -G "$generator" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBARNBLAST_WINDOWS_PREFIX="$prefix" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
        -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        -DBUILD_SHARED_LIBS=OFF "$@" > "$work/$name-configure.log" 2>&1 ||
        failed "$work/$name-configure.log"
    step "$name: build"
    cmake --build "$work/$name-build" -j"$jobs" > "$work/$name-build.log" 2>&1 ||
        failed "$work/$name-build.log"
    step "$name: install"
    cmake --install "$work/$name-build" > "$work/$name-install.log" 2>&1 ||
        failed "$work/$name-install.log"
}

autotools_build() {
    local name=$1 src=$2
    shift 2
    step "$name: configure"
    (cd "$src" && ./configure --host="$host" --prefix="$prefix" --enable-static --disable-shared "$@") \
        > "$work/$name-configure.log" 2>&1 || failed "$work/$name-configure.log"
    step "$name: build"
    make -C "$src" -j"$jobs" > "$work/$name-build.log" 2>&1 || failed "$work/$name-build.log"
    step "$name: install"
    make -C "$src" install > "$work/$name-install.log" 2>&1 || failed "$work/$name-install.log"
}
