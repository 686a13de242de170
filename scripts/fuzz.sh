#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ with clang and runs each for the
# given number of seconds (default 60). Fails on any finding: a crash, a
# sanitizer report, a hang of over 10 s, or anything written to standard
# output or error while decoding.
# Findings are kept in build-fuzz/findings/<target>/; see fuzz/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

cmake -S . -B build-fuzz -DBARNBLAST_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cmake --build build-fuzz --target fuzz_targets -j 2

for target in decoder outbox_record name_file round_record; do
  # New inputs go to the working corpus in build-fuzz; the committed seeds
  # in fuzz/corpus stay as they are.
  work="build-fuzz/corpus/$target"
  findings="build-fuzz/findings/$target"
  mkdir -p "$work" "$findings"
  # Seeds are kept even when they reach nothing new in our own code: many
  # reach deep into the decoding libraries, whose coverage is not counted.
  flags=(-keep_seed=1)
  # The decoder's standard error is a trap while it decodes; libFuzzer and
  # the sanitizers report on a copy of their own, so a fault found there is
  # still explained.
  if [ "$target" = decoder ]; then flags+=(-close_fd_mask=2); fi
  echo "fuzz: $target for ${seconds}s" >&2
  "build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${flags[@]}" \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target"
done
