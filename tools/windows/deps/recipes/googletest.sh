# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# GoogleTest for the suites run under Wine.
build_googletest() {
    unpack googletest googletest_1.12.1-0.2.dsc
    cmake_build googletest "$work/googletest" -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON -Dgtest_force_shared_crt=OFF
}
