#!/usr/bin/env bash
# Sets everything up, builds and runs the score table on 127.0.0.1:8765 with
# its scores in ./scoreboard.db; options are passed on (see --help).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build" >&2
exec "$here/build/scoreboard/barnblast-scoreboard" "$@"
