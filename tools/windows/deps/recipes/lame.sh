# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
# LAME only because libsndfile's MPEG support insists on it beside mpg123
# (the game never encodes).
build_lame() {
    unpack lame lame_3.100-6.dsc
    autotools_build lame "$work/lame" --disable-frontend --disable-decoder --disable-gtktest \
        --disable-analyzer-hooks --disable-maintainer-mode
}
