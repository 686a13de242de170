#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite: once normally and
# once more for the concurrency suites under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j 2 --timeout 900)
bash scripts/build.sh build-tsan -DBARNBLAST_SANITIZE=thread
(cd build-tsan && ctest --output-on-failure -L concurrency --timeout 900)
