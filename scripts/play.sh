#!/usr/bin/env bash
# Sets everything up, builds the game (and the score table beside it) and
# starts the game from the repository root, where it finds Media/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-play -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-play --target barnblast barnblast-scoreboard -j "$(nproc)" >&2
exec ./build-play/game/barnblast
