# shellcheck shell=bash disable=SC2154 # deps.sh sets prefix, work and the rest
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
    (cd "$work/espeak-ng" && ./configure --host="$host" --prefix="$prefix" --enable-static --disable-shared \
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
    (cd "$work/espeak-ng-native" && CC=gcc CXX=g++ AR=ar RANLIB=ranlib CFLAGS=-O2 CXXFLAGS=-O2 CPPFLAGS='' LDFLAGS='' \
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
