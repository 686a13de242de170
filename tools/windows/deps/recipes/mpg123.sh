# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# mpg123 decodes the MP3 music (through libsndfile).
build_mpg123() {
    unpack mpg123 mpg123_1.31.2-1+deb12u1.dsc
    autotools_build mpg123 "$work/mpg123" --with-cpu=x86-64 --disable-components --enable-libmpg123 \
        --disable-modules --disable-maintainer-mode
}
