#!/usr/bin/env bash
# Sets everything up, builds the game (and the score table beside it) and
# starts the game from the repository root, where it finds Media/. Quiet when
# all goes well, so that the first thing a player hears is the game: the
# setup and build output goes to a log whose name is printed only on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build-play
log=$PWD/build-play/play-build.log
if ! {
    bash scripts/setup.sh &&
        cmake -S . -B build-play -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF &&
        cmake --build build-play --target barnblast barnblast-scoreboard -j "$(nproc)"
} >"$log" 2>&1; then
    echo "play: the build failed; its output is in $log" >&2
    exit 1
fi
exec ./build-play/game/barnblast
