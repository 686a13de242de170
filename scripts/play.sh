#!/usr/bin/env bash
# Sets everything up, builds and starts the game from the repository root.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build >&2
exec ./build/game/barnblast
