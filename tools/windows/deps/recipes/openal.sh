# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# OpenAL Soft: the game renders through its loopback device, so no
# utilities, examples or device backends (the loopback one is always built),
# and no legacy EAX (the game sets no effects). Its built-in HRTF data is
# linked in, for players who turn on the headphones setting.
build_openal() {
    step "openal: unpack"
    rm -rf "$work/openal-soft-1.24.2"
    tar -xzf "$downloads/openal-soft_1.24.2.orig.tar.gz" -C "$work"
    # Its static build links its copy of fmt through BUILD_LOCAL_INTERFACE,
    # which needs CMake 3.26 (Debian 12 has 3.25): take fmt's objects and
    # headers in directly instead, which is what that link amounts to.
    # shellcheck disable=SC2016 # CMake's ${...} and $<...>, not the shell's
    sed -i 's|\$<BUILD_LOCAL_INTERFACE:alsoft::fmt>)|)\n    target_sources(${IMPL_TARGET} PRIVATE $<TARGET_OBJECTS:alsoft.fmt>)\n    target_include_directories(${IMPL_TARGET} PRIVATE $<TARGET_PROPERTY:alsoft.fmt,INTERFACE_INCLUDE_DIRECTORIES>)|' \
        "$work/openal-soft-1.24.2/CMakeLists.txt"
    cmake_build openal "$work/openal-soft-1.24.2" -DLIBTYPE=STATIC -DALSOFT_UTILS=OFF \
        -DALSOFT_EXAMPLES=OFF -DALSOFT_TESTS=OFF -DALSOFT_INSTALL_CONFIG=OFF \
        -DALSOFT_INSTALL_HRTF_DATA=OFF -DALSOFT_INSTALL_AMBDEC_PRESETS=OFF -DALSOFT_INSTALL_EXAMPLES=OFF \
        -DALSOFT_INSTALL_UTILS=OFF -DALSOFT_EMBED_HRTF_DATA=ON -DALSOFT_BACKEND_WAVE=OFF \
        -DALSOFT_BACKEND_PORTAUDIO=OFF -DALSOFT_BACKEND_SDL2=OFF -DALSOFT_BACKEND_SDL3=OFF \
        -DALSOFT_BACKEND_WINMM=OFF -DALSOFT_BACKEND_DSOUND=OFF -DALSOFT_BACKEND_WASAPI=OFF \
        -DALSOFT_EAX=OFF -DALSOFT_UPDATE_BUILD_VERSION=OFF
    # A static OpenAL must be declared so to its users (no dllimport).
    grep -q AL_LIBTYPE_STATIC "$prefix/lib/pkgconfig/openal.pc" ||
        sed -i 's|^Cflags: \(.*\)$|Cflags: \1 -DAL_LIBTYPE_STATIC|' "$prefix/lib/pkgconfig/openal.pc"
}
