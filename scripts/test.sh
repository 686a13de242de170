#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite: once normally and
# once more for the sound service and the game under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
bash scripts/build.sh build
(cd build && ctest --output-on-failure --no-tests=error -j 2 --timeout 900)
cmake -S . -B build-tsan -DBARNBLAST_SANITIZE=thread >/dev/null
cmake --build build-tsan --target concurrency_suites -j "$(nproc)"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1" ctest --output-on-failure --no-tests=error -L '^(service|game)$' --timeout 900)
