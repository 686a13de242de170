# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
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
