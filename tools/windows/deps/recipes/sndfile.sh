# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# libsndfile: WAV and MP3; no FLAC/Ogg/Vorbis/Opus (the media are WAV and MP3).
# It finds mpg123 and LAME in the prefix, so its lane builds them first.
build_sndfile() {
    unpack sndfile libsndfile_1.2.0-1+deb12u1.dsc
    cmake_build sndfile "$work/sndfile" -DBUILD_PROGRAMS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF \
        -DENABLE_EXTERNAL_LIBS=OFF -DENABLE_MPEG=ON -DENABLE_CPACK=OFF -DINSTALL_MANPAGES=OFF \
        -DBUILD_REGTEST=OFF -DENABLE_PACKAGE_CONFIG=ON
}
