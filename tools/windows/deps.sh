#!/usr/bin/env bash
# Builds the libraries the Windows game links, from Debian's source packages,
# with the mingw-w64 cross compilers, into a cache folder outside the
# repository. Nothing prebuilt is fetched: every file is pinned by version and
# SHA-256 below. A second run with the same pins, script and toolchain does
# nothing.
#
#   tools/windows/deps.sh            build (or confirm) the cache
#   tools/windows/deps.sh --prefix   print the install prefix and exit
#
# BARNBLAST_WINDOWS_DEPS moves the cache (default below), DEBIAN_MIRROR the
# archive, JOBS the parallel jobs.
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

# Pool path and SHA-256 of every file. Bookworm's versions where the archive
# still serves them; OpenAL Soft 1.19.1 and eSpeak NG 1.51 are gone from it, so
# those two come from trixie (OpenAL Soft only as its upstream tarball, the
# archive keeps no .dsc of it).
sources=(
    "main/libs/libsdl2/libsdl2_2.26.5+dfsg-1.dsc 95b9a18130d98164e7856eca8ac1a2eb65d822ac4872ef8862ceed2cb1662136"
    "main/libs/libsdl2/libsdl2_2.26.5+dfsg.orig.tar.gz b3f2c822151804125d08db94c65852f711c2e5df2145a59da120748dc32eb9c3"
    "main/libs/libsdl2/libsdl2_2.26.5+dfsg-1.debian.tar.xz 45a0454e18b1bea85960d090e691c39216442610e600a6aec7cc99de525f4158"
    "main/o/openal-soft/openal-soft_1.24.2.orig.tar.gz 7efd383d70508587fbc146e4c508771a2235a5fc8ae05bf6fe721c20a348bd7c"
    "main/m/mpg123/mpg123_1.31.2-1+deb12u1.dsc a67b2daf33ecf2d2a720e0cd721ac44828f1edee644abac34d8022819abbbb1a"
    "main/m/mpg123/mpg123_1.31.2.orig.tar.bz2 b17f22905e31f43b6b401dfdf6a71ed11bb7d056f68db449d70b9f9ae839c7de"
    "main/m/mpg123/mpg123_1.31.2-1+deb12u1.debian.tar.xz 9fc7eeeb4be67525fb7901022955b646832f095499612672ad7c24a1b3303599"
    "main/l/lame/lame_3.100-6.dsc 6a402771625fa80785a2b904697ba9c7e74a1ee4fa536354e9e88f08e2a4073b"
    "main/l/lame/lame_3.100.orig.tar.gz ddfe36cab873794038ae2c1210557ad34857a4b6bdc515785d1da9e175b1da1e"
    "main/l/lame/lame_3.100-6.debian.tar.xz 35c6af528d139737c8beede450ad99fe0c1f1764455d23321038b5c4a2b4574c"
    "main/libs/libsndfile/libsndfile_1.2.0-1+deb12u1.dsc 74686b038b925f4b238d0a37e36671e5b924fe1678083037494923140403fa8e"
    "main/libs/libsndfile/libsndfile_1.2.0.orig.tar.gz 62dc4e2bcd45f6f0e89cbc3522cc90eb174dca0eef0a0d19ead289833b390cd7"
    "main/libs/libsndfile/libsndfile_1.2.0-1+deb12u1.debian.tar.xz 77b8c1c5fc6d110f08535ccb76f65c284a441e544a0698e3dee65c5bda882eee"
    "main/e/espeak-ng/espeak-ng_1.52.0+dfsg-5.dsc 8d79bd4d12db56461ff02f7e7a4ba78b6c37b3c4cdbceefcf75cd76029883680"
    "main/e/espeak-ng/espeak-ng_1.52.0+dfsg.orig.tar.gz d2a886bae3547a15c52801cb37e415230834a7ee7f9a57352b98d60454d97cea"
    "main/e/espeak-ng/espeak-ng_1.52.0+dfsg-5.debian.tar.xz d253d81d2815194e2c13c1af77b6761c43db48848ca423430b4a8c416359b813"
    "main/c/curl/curl_7.88.1-10+deb12u15.dsc 2744f12e3aef161c0361743fa1b318296b122e566e47f381e4a63320fbcc23f4"
    "main/c/curl/curl_7.88.1.orig.tar.gz cdb38b72e36bc5d33d5b8810f8018ece1baa29a8f215b4495e495ded82bbf3c7"
    "main/c/curl/curl_7.88.1-10+deb12u15.debian.tar.xz 961b78bc48492c5693e4decb352ddd176f343260a8956f48b2887874048ef23b"
    "main/g/googletest/googletest_1.12.1-0.2.dsc cc90251040c145be18d5090787d9ec79e48217c6cef3ae78eb20f0e31551404c"
    "main/g/googletest/googletest_1.12.1.orig.tar.gz 81964fe578e9bd7c94dfdb09c8e4d6e6759e19967e397dbea48d1c10e45d0df2"
    "main/g/googletest/googletest_1.12.1-0.2.debian.tar.xz 03dca2d4c5d2add5afcca67a09c5664b04998ef2063b6bec0cb84563e6eef422"
)

step() { echo "deps: [$(date -u +%H:%M:%S)] $*"; }
# Ends a build with the end of its log (the lanes' other output may come
# between, so the log is named).
failed() {
    step "failed: the end of $1"
    tail -n 40 "$1"
    exit 1
}

for tool in $host-gcc-posix $host-g++-posix $host-ar cmake pkg-config dpkg-source curl sha256sum make autoreconf gcc; do
    command -v "$tool" > /dev/null || { echo "deps: $tool is missing (scripts/windows.sh installs it)" >&2; exit 1; }
done
[[ -f /usr/include/boost/json/src.hpp ]] || { echo "deps: Boost headers are missing (libboost1.81-dev)" >&2; exit 1; }

# The stamp: this script (which holds every pin and option), the toolchain
# file, the compiler and the Boost headers linked into the prefix.
stamp_text() {
    sha256sum "${BASH_SOURCE[0]}" "$toolchain" | cut -d' ' -f1
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
# (for working on this script), which keeps the packages already built.
if [[ ${BARNBLAST_DEPS_KEEP:-} != 1 ]]; then
    rm -rf "$prefix" "$work"
fi
mkdir -p "$prefix" "$work" "$downloads"

step "fetch: checking ${#sources[@]} files from $mirror"
for entry in "${sources[@]}"; do
    read -r path sum <<< "$entry"
    file=$downloads/$(basename "$path")
    if ! echo "$sum  $file" | sha256sum -c --status 2> /dev/null; then
        step "fetch: $(basename "$path")"
        curl -fsSL --retry 3 -o "$file.part" "$mirror/pool/${path//+/%2b}"
        mv "$file.part" "$file"
        echo "$sum  $file" | sha256sum -c --quiet || { rm -f "$file"; exit 1; }
    fi
done

# Unpacks a source package (Debian's patches applied) into $work/$1.
unpack() {
    local name=$1 dsc=$2
    step "$name: unpack"
    rm -rf "${work:?}/$name"
    dpkg-source --no-check --no-copy -x "$downloads/$dsc" "$work/$name" > /dev/null
}

export PKG_CONFIG_LIBDIR=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH=
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib
export CFLAGS="-O2" CXXFLAGS="-O2" CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib"

# Ninja where it is installed: its try_compile projects (most of a configure
# step here) and its builds start faster than Makefiles'.
generator="Unix Makefiles"
command -v ninja > /dev/null && generator=Ninja

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
    (cd "$src" && ./configure --host=$host --prefix="$prefix" --enable-static --disable-shared "$@") \
        > "$work/$name-configure.log" 2>&1 || failed "$work/$name-configure.log"
    step "$name: build"
    make -C "$src" -j"$jobs" > "$work/$name-build.log" 2>&1 || failed "$work/$name-build.log"
    step "$name: install"
    make -C "$src" install > "$work/$name-install.log" 2>&1 || failed "$work/$name-install.log"
}

# SDL2: the game uses its audio subsystem only (WASAPI, DirectSound, WinMM
# and the dummy driver), so no render drivers, OpenGL, GLES or Vulkan.
build_sdl2() {
    unpack sdl2 libsdl2_2.26.5+dfsg-1.dsc
    cmake_build sdl2 "$work/sdl2" -DSDL_SHARED=OFF -DSDL_STATIC=ON -DSDL_TEST=OFF \
        -DSDL_JOYSTICK=OFF -DSDL_HAPTIC=OFF -DSDL_HIDAPI=OFF -DSDL_SENSOR=OFF -DSDL_POWER=OFF \
        -DSDL_RENDER=OFF -DSDL_RENDER_D3D=OFF -DSDL_OPENGL=OFF -DSDL_OPENGLES=OFF -DSDL_VULKAN=OFF \
        -DSDL_XINPUT=OFF -DSDL_DISKAUDIO=OFF -DSDL_DUMMYAUDIO=ON
    # (Its video subsystem stays: without it SDL 2.26's Windows build leaves
    # functions of its dynamic API undefined.)
    # The game is a console program with its own main: no SDL_main, no GUI
    # subsystem (-mwindows).
    sed -i -e 's/ -Dmain=SDL_main//' -e '/^Libs/ s/ -mwindows\| -lSDL2main\| -lmingw32//g' \
        "$prefix/lib/pkgconfig/sdl2.pc"
}

# OpenAL Soft: the game renders through its loopback device, so no
# utilities, examples or device backends (the loopback one is always built),
# and no legacy EAX (the game sets no effects).
build_openal() {
    step "openal: unpack"
    rm -rf "$work/openal-soft-1.24.2"
    tar -xzf "$downloads/openal-soft_1.24.2.orig.tar.gz" -C "$work"
    # Its static build links its copy of fmt through BUILD_LOCAL_INTERFACE,
    # which needs CMake 3.26 (Debian 12 has 3.25): take fmt's objects and
    # headers in directly instead, which is what that link amounts to.
    sed -i 's|\$<BUILD_LOCAL_INTERFACE:alsoft::fmt>)|)\n    target_sources(${IMPL_TARGET} PRIVATE $<TARGET_OBJECTS:alsoft.fmt>)\n    target_include_directories(${IMPL_TARGET} PRIVATE $<TARGET_PROPERTY:alsoft.fmt,INTERFACE_INCLUDE_DIRECTORIES>)|' \
        "$work/openal-soft-1.24.2/CMakeLists.txt"
    cmake_build openal "$work/openal-soft-1.24.2" -DLIBTYPE=STATIC -DALSOFT_UTILS=OFF \
        -DALSOFT_EXAMPLES=OFF -DALSOFT_TESTS=OFF -DALSOFT_INSTALL_CONFIG=OFF \
        -DALSOFT_INSTALL_HRTF_DATA=OFF -DALSOFT_INSTALL_AMBDEC_PRESETS=OFF -DALSOFT_INSTALL_EXAMPLES=OFF \
        -DALSOFT_INSTALL_UTILS=OFF -DALSOFT_EMBED_HRTF_DATA=OFF -DALSOFT_BACKEND_WAVE=OFF \
        -DALSOFT_BACKEND_PORTAUDIO=OFF -DALSOFT_BACKEND_SDL2=OFF -DALSOFT_BACKEND_SDL3=OFF \
        -DALSOFT_BACKEND_WINMM=OFF -DALSOFT_BACKEND_DSOUND=OFF -DALSOFT_BACKEND_WASAPI=OFF \
        -DALSOFT_EAX=OFF -DALSOFT_UPDATE_BUILD_VERSION=OFF
    # A static OpenAL must be declared so to its users (no dllimport).
    grep -q AL_LIBTYPE_STATIC "$prefix/lib/pkgconfig/openal.pc" ||
        sed -i 's|^Cflags: \(.*\)$|Cflags: \1 -DAL_LIBTYPE_STATIC|' "$prefix/lib/pkgconfig/openal.pc"
}

# mpg123 decodes the MP3 music; lame only because libsndfile's MPEG support
# insists on both (the game never encodes).
build_mpg123() {
    unpack mpg123 mpg123_1.31.2-1+deb12u1.dsc
    autotools_build mpg123 "$work/mpg123" --with-cpu=x86-64 --disable-components --enable-libmpg123 \
        --disable-modules --disable-maintainer-mode
}
build_lame() {
    unpack lame lame_3.100-6.dsc
    autotools_build lame "$work/lame" --disable-frontend --disable-decoder --disable-gtktest \
        --disable-analyzer-hooks --disable-maintainer-mode
}

# libsndfile: WAV and MP3; no FLAC/Ogg/Vorbis/Opus (the media are WAV and MP3).
build_sndfile() {
    unpack sndfile libsndfile_1.2.0-1+deb12u1.dsc
    cmake_build sndfile "$work/sndfile" -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF \
        -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=ON -DENABLE_CPACK=OFF -DINSTALL_MANPAGES=OFF \
        -DBUILD_REGTEST=OFF -DENABLE_PACKAGE_CONFIG=ON
}

# curl: HTTP and HTTPS only, TLS through Schannel (the system's certificates).
# No picky warnings: each is a compiler check its configure step would run.
# No CA bundle path either: Schannel ignores it, and the build machine's own
# path means nothing on Windows.
build_curl() {
    unpack curl curl_7.88.1-10+deb12u15.dsc
    cmake_build curl "$work/curl" -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON \
        -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF \
        -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DENABLE_UNIX_SOCKETS=OFF -DBUILD_CURL_EXE=OFF \
        -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DCURL_DISABLE_COOKIES=ON -DCURL_DISABLE_NTLM=ON \
        -DUSE_WIN32_IDN=OFF -DCURL_STATICLIB=ON -DPICKY_COMPILER=OFF -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none
    # Its CMake build copies the compiler's own runtime libraries into the
    # .pc file, winpthreads' import library among them, which clashes with
    # the static one the -static link brings.
    sed -i -E '/^Libs/ s/ -l(mingw32|gcc|moldname|mingwex|pthread)\b//g' "$prefix/lib/pkgconfig/libcurl.pc"
    # A static libcurl must be declared so to its users (no dllimport).
    grep -q CURL_STATICLIB "$prefix/lib/pkgconfig/libcurl.pc" ||
        sed -i 's|^Cflags: \(.*\)$|Cflags: \1 -DCURL_STATICLIB|' "$prefix/lib/pkgconfig/libcurl.pc"
}

# GoogleTest for the suites run under Wine.
build_googletest() {
    unpack googletest googletest_1.12.1-0.2.dsc
    cmake_build googletest "$work/googletest" -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=OFF
}

# eSpeak NG: the library cross-built; its English data compiled by a native
# build of the same source (the data is the same on every platform).
build_espeak() {
    local options=(--with-pcaudiolib=no --with-sonic=no --with-speechplayer=no --with-mbrola=no
        --with-klatt=no --with-async=no --with-extdict-ru=no --with-extdict-cmn=no --with-extdict-yue=no)
    unpack espeak-ng espeak-ng_1.52.0+dfsg-5.dsc
    step "espeak-ng: autogen"
    (cd "$work/espeak-ng" && ./autogen.sh) > "$work/espeak-ng-autogen.log" 2>&1 ||
        failed "$work/espeak-ng-autogen.log"
    rm -rf "$work/espeak-ng-native"
    cp -a "$work/espeak-ng" "$work/espeak-ng-native"
    step "espeak-ng: configure"
    (cd "$work/espeak-ng" && ./configure --host=$host --prefix="$prefix" --enable-static --disable-shared \
        "${options[@]}") > "$work/espeak-ng-configure.log" 2>&1 ||
        failed "$work/espeak-ng-configure.log"
    step "espeak-ng: build library"
    make -C "$work/espeak-ng" -j"$jobs" src/libespeak-ng.la > "$work/espeak-ng-build.log" 2>&1 ||
        failed "$work/espeak-ng-build.log"
    mkdir -p "$prefix/lib" "$prefix/include/espeak-ng"
    cp "$work/espeak-ng/src/.libs/libespeak-ng.a" "$prefix/lib/"
    cp "$work/espeak-ng/src/include/espeak-ng/"*.h "$prefix/include/espeak-ng/"
    # Its headers assume a DLL on Windows; this one is linked in.
    sed -i 's/__declspec(dllimport)//' "$prefix/include/espeak-ng/"*.h
    step "espeak-ng: native build for the data"
    (cd "$work/espeak-ng-native" && CC=gcc CXX=g++ AR=ar RANLIB=ranlib CFLAGS=-O2 CXXFLAGS=-O2 CPPFLAGS= LDFLAGS= \
        ./configure --disable-shared "${options[@]}" && make -j"$jobs" src/espeak-ng) \
        > "$work/espeak-ng-native.log" 2>&1 || failed "$work/espeak-ng-native.log"
    step "espeak-ng: English data"
    make -C "$work/espeak-ng-native" phsource/phonemes.stamp en >> "$work/espeak-ng-native.log" 2>&1 ||
        failed "$work/espeak-ng-native.log"
    local data=$prefix/share/espeak-ng-data built=$work/espeak-ng-native/espeak-ng-data
    mkdir -p "$data/lang/gmw"
    cp "$built"/{phondata,phonindex,phontab,intonations,en_dict} "$data/"
    cp "$built/lang/gmw/en" "$data/lang/gmw/"
}

# Boost.JSON is used header-only (its src.hpp compiled into the program);
# the headers are the host's, which are the same for every target.
build_boost() {
    mkdir -p "$prefix/include"
    ln -sfn /usr/include/boost "$prefix/include/boost"
}

# Each lane builds its packages in turn; the lanes run side by side, so one
# package's single-threaded configure step overlaps another's compiling.
# libsndfile needs mpg123 and lame installed, so they share its lane. A lane
# stops at its first failure (the build functions print the log's tail).
lane() {
    local package
    for package in "$@"; do
        if [[ -f $prefix/.built-$package ]]; then
            step "$package: kept"
            continue
        fi
        "build_$package"
        touch "$prefix/.built-$package"
        step "$package: built"
    done
}
# About equal lanes, each starting with a long package: curl's and SDL2's
# configure steps (a few hundred compiler checks each) beside OpenAL Soft's
# compiling.
lanes=("curl googletest boost" "openal espeak" "sdl2 mpg123 lame sndfile")
# Every lane in a process group of its own (monitor mode only while it
# starts, which keeps bash's job notices quiet), so a failed lane can stop the
# others with their compilers, and so can an interrupted run.
pids=()
stop_lanes() {
    local pid
    for pid in "${pids[@]}"; do
        kill -- "-$pid" 2> /dev/null || true
    done
}
trap 'stop_lanes; exit 130' INT TERM
trap stop_lanes EXIT
for packages in "${lanes[@]}"; do
    set -m
    # shellcheck disable=SC2086 # one word per package
    lane $packages < /dev/null &
    pids+=("$!")
    set +m
done
for _ in "${pids[@]}"; do
    if ! wait -n; then
        step "a build failed; stopping the others"
        exit 1
    fi
done
trap - EXIT

stamp_text > "$stamp"
step "done in $(($(date +%s) - started)) s: $prefix"
