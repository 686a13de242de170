#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite: once normally and
# once more for the sound service, the game and score posting under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
bash scripts/build.sh build
(cd build && ctest --output-on-failure --no-tests=error -j 2 --timeout 900)
cmake -S . -B build-tsan -DBARNBLAST_SANITIZE=thread >/dev/null
cmake --build build-tsan --target concurrency_suites -j "$(nproc)"
# Some score posting tests fork a process that already has threads.
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 die_after_fork=0" \
  ctest --output-on-failure --no-tests=error -L '^(service|game|postscore)$' --timeout 900)
