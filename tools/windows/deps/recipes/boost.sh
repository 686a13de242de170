# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# Boost.JSON is used header-only (its src.hpp compiled into the program);
# the headers are the host's, which are the same for every target.
build_boost() {
    mkdir -p "$prefix/include"
    ln -sfn /usr/include/boost "$prefix/include/boost"
}
