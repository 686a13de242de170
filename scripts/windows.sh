#!/usr/bin/env bash
# The Windows game, cross-built on this Debian machine:
#
#   bash scripts/windows.sh          build-windows/barnblast-windows-x64.zip
#   bash scripts/windows.sh --test   the same, then the suites under Wine
#   bash scripts/windows.sh --packages   only the Debian packages for both
#
# Installs the Debian packages it needs, builds the libraries from Debian's
# sources once (tools/windows/deps.sh, cached outside the repository), then
# the game with mingw-w64 (cmake/MingwToolchain.cmake).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

testing=OFF
packages_only=no
case ${1:-} in
    --test) testing=ON ;;
    --packages) testing=ON packages_only=yes ;;
    "") ;;
    *) echo "usage: $0 [--test | --packages]" >&2; exit 2 ;;
esac

say() { echo "windows: [$(date -u +%H:%M:%S)] $*"; }
started=$(date +%s)

packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    mingw-w64-x86-64-dev cmake make pkg-config dpkg-dev curl ca-certificates autoconf automake
    libtool gcc g++ libboost1.81-dev zip ninja-build)
[[ $testing == ON ]] && packages+=(wine wine64)
install_packages "${packages[@]}"
[[ $packages_only == yes ]] && exit 0

bash tools/windows/deps.sh
prefix=$(bash tools/windows/deps.sh --prefix)

build=build-windows
mkdir -p $build
say "configure $build"
cmake -S . -B $build -DCMAKE_TOOLCHAIN_FILE=cmake/MingwToolchain.cmake -DBARNBLAST_WINDOWS_PREFIX="$prefix" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=$testing > $build/configure.log 2>&1 ||
    { tail -n 40 $build/configure.log; exit 1; }
say "build"
cmake --build $build -j"${JOBS:-$(nproc)}" > $build/build.log 2>&1 || { grep -m 20 -A 5 "error" $build/build.log; exit 1; }

# The zip: one folder with the program, its sounds, the English voice and a
# README for players. Everything is linked in, so no DLLs.
say "zip"
stage=$build/zip/Barnblast
rm -rf $build/zip $build/barnblast-windows-x64.zip
mkdir -p $stage
x86_64-w64-mingw32-strip -o $stage/barnblast.exe $build/game/barnblast.exe
cp -r Media $stage/Media
cp -r "$prefix/share/espeak-ng-data" $stage/espeak-ng-data
sed 's/$/\r/' windows/README.txt > $stage/README.txt
(cd $build/zip && TZ=UTC zip -q -X -r -9 ../barnblast-windows-x64.zip Barnblast)
say "$build/barnblast-windows-x64.zip: $(du -k $build/barnblast-windows-x64.zip | cut -f1) KiB"

if [[ $testing == ON ]]; then
    # One Wine prefix for the run, made in a temporary folder, and one
    # wineserver kept alive across every test instead of one per program.
    wine_home=$(mktemp -d)
    export WINEPREFIX=$wine_home/prefix WINEDEBUG=-all SDL_AUDIODRIVER=dummy
    # No Mono or Gecko install prompts: the tests need neither.
    export WINEDLLOVERRIDES="mscoree,mshtml="
    stop_wine() {
        wineserver -k 2> /dev/null || true
        rm -rf "$wine_home"
    }
    trap stop_wine EXIT
    say "Wine prefix"
    # The server first: one started by wineboot would still be there.
    mkdir -p "$WINEPREFIX"
    wineserver -p
    wineboot --init > "$wine_home/wineboot.log" 2>&1 || { cat "$wine_home/wineboot.log"; exit 1; }
    say "suites under Wine"
    # Any failure fails the run: none is run a second time here.
    ctest --test-dir $build --output-on-failure --no-tests=error -j"${JOBS:-$(nproc)}" --timeout 120

    # The zip's barnblast.exe played for a whole round under Wine against a
    # real score table: the harness and the table are Linux programs, built
    # in the Linux build folder (scripts/test.sh's, when it is there).
    linux=${BARNBLAST_LINUX_BUILD:-build}
    if [[ ! -f $linux/CMakeCache.txt ]]; then
        bash scripts/setup.sh
        install_packages libgtest-dev
    fi
    mkdir -p "$linux"
    say "Wine round: build the harness in $linux"
    cmake -S . -B "$linux" -DBARNBLAST_WINDOWS_EXE="$PWD/$stage/barnblast.exe" \
        -DBARNBLAST_NVDA_STANDIN="$PWD/$build/tests/service/nvdaControllerClient64.dll" > "$linux/wine-configure.log" 2>&1 ||
        { tail -n 40 "$linux/wine-configure.log"; exit 1; }
    cmake --build "$linux" -j"${JOBS:-$(nproc)}" --target wine_round_tests barnblast-scoreboard > "$linux/wine-build.log" 2>&1 ||
        { grep -m 20 -A 5 "error" "$linux/wine-build.log"; exit 1; }
    say "Wine round"
    ctest --test-dir "$linux" --output-on-failure --no-tests=error -L '^wine$' --timeout 900
fi
say "done in $(($(date +%s) - started)) s"
