#!/usr/bin/env bash
# Sets everything up, builds with warnings as errors and runs every suite;
# then the layout and lint checks; then the suites where threads meet under
# ThreadSanitizer, every suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a minute of fuzzing for each fuzz target;
# last, the Windows build, its suites and a whole round under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --tests

step() { echo "== test: $* ($(date +%T))"; }

# The Windows libraries take minutes to cross-build from source. They build
# meanwhile at the lowest priority, beside the Linux build and suites (which
# also wait on real-time rounds), instead of after them.
step "Windows libraries: cross-built in the background"
bash scripts/windows.sh --packages
mkdir -p build-windows
setsid --wait nice -n 19 bash tools/windows/deps.sh > build-windows/deps.log 2>&1 &
windows_deps=$!
# A failed step ends the run: the build in the background ends with it.
trap 'kill -- -$windows_deps 2> /dev/null || true' EXIT

step "build and run every suite"
# Line tables only: a failure's stack still names files and lines, and the
# build takes a fifth less time than with full debug information.
bash scripts/build.sh build -DBARNBLAST_WERROR=ON -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
# Any failure fails the run, however rare. Only a test labelled timing (see
# the README's list) may run a second time, and only here, never under a
# sanitizer. It plays two minutes in real time, mostly waiting, so it runs
# beside the others rather than after them.
setsid --wait ctest --test-dir build --output-on-failure --no-tests=ignore --timeout 900 -L '^timing$' \
  --repeat until-pass:2 > build/timing.log 2>&1 &
timing=$!
trap 'kill -- -$windows_deps -$timing 2> /dev/null || true' EXIT
(cd build && ctest --output-on-failure --no-tests=error -j 2 --timeout 900 -LE '^timing$')
wait $timing || { cat build/timing.log; exit 1; }
cat build/timing.log

step "Debian packages: built, linted, installed, played, purged"
bash tests/package/run.sh

step "layout and lint"
bash scripts/check.sh build

step "ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBARNBLAST_SANITIZE=thread >/dev/null
cmake --build build-tsan --target concurrency_suites -j "$(nproc)"
# Some score posting tests fork a process that already has threads; OpenAL
# Soft, not built for ThreadSanitizer, is left out of its view
# (tests/tsan.supp).
tsan_suppressions=$PWD/tests/tsan.supp
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 die_after_fork=0 suppressions=$tsan_suppressions" \
  ctest --output-on-failure --no-tests=error -L '^(service|game|postscore)$' --timeout 900)

step "AddressSanitizer and UndefinedBehaviorSanitizer"
# The benchmarks are built and linted with the first build; no test runs them.
bash scripts/build.sh build-asan -DBARNBLAST_SANITIZE=address,undefined -DBARNBLAST_BENCH=OFF
# The sound libraries' own leaks are left out (tests/lsan.supp).
lsan_suppressions=$PWD/tests/lsan.supp
(cd build-asan && ASAN_OPTIONS="halt_on_error=1 detect_leaks=1" LSAN_OPTIONS="suppressions=$lsan_suppressions" \
  UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
  ctest --output-on-failure --no-tests=error -j 2 --timeout 900)
step "fuzzing"
bash scripts/fuzz.sh 60

step "Windows: cross-built, its suites and a round under Wine"
wait $windows_deps || { tail -n 40 build-windows/deps.log; exit 1; }
tail -n 1 build-windows/deps.log
BARNBLAST_LINUX_BUILD=build bash scripts/windows.sh --test
step "done"
