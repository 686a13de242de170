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

# The targets run side by side, one per core, each for the whole time; a
# target's output goes to build-fuzz/logs/<target>.log and is shown when it
# ends, so the runs' lines do not interleave.
run_target() {
  local target=$1
  # New inputs go to the working corpus in build-fuzz; the committed seeds
  # in fuzz/corpus stay as they are.
  local work="build-fuzz/corpus/$target" findings="build-fuzz/findings/$target"
  mkdir -p "$work" "$findings"
  # Seeds are kept even when they reach nothing new in our own code: many
  # reach deep into the decoding libraries, whose coverage is not counted.
  local flags=(-keep_seed=1)
  # The decoder's standard error is a trap while it decodes; libFuzzer and
  # the sanitizers report on a copy of their own, so a fault found there is
  # still explained.
  if [ "$target" = decoder ]; then flags+=(-close_fd_mask=2); fi
  "build-fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${flags[@]}" \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target"
}

mkdir -p build-fuzz/logs
targets=(decoder outbox_record name_file round_record)
lanes=$(nproc)
failed=()
for ((i = 0; i < ${#targets[@]}; i += lanes)); do
  pids=()
  for target in "${targets[@]:i:lanes}"; do
    echo "fuzz: $target for ${seconds}s" >&2
    run_target "$target" > "build-fuzz/logs/$target.log" 2>&1 &
    pids+=("$!:$target")
  done
  for entry in "${pids[@]}"; do
    target=${entry#*:}
    if wait "${entry%%:*}"; then
      grep -E '^(stat::|Done )' "build-fuzz/logs/$target.log" | sed "s/^/fuzz: $target: /" >&2 || true
    else
      tail -n 60 "build-fuzz/logs/$target.log" >&2
      failed+=("$target")
    fi
  done
done
if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]} (see build-fuzz/findings/)" >&2
  exit 1
fi
