#!/usr/bin/env bash
# Score posts with round records against posts without, on one SQLite server
# in the same run: the records are replayed, compressed and stored with each
# score. Runs alternate (without, with) so that both see the same machine;
# the medians and their ratio are printed. Not a test: it measures.
# Usage: records.sh path/to/barnblast-scoreboard path/to/scoreboard-round-sample [seconds] [connections] [runs]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/lib/table.sh
source "$here/../../scripts/lib/table.sh"
exe=${1:?usage: records.sh barnblast-scoreboard scoreboard-round-sample [seconds] [connections] [runs]}
sample=${2:?usage: records.sh barnblast-scoreboard scoreboard-round-sample [seconds] [connections] [runs]}
secs=${3:-5}
conns=${4:-16}
runs=${5:-5}
work=$(mktemp -d)
server=""
cleanup() {
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

read -r score record < <("$sample")
"$exe" --port 0 --db "$work/bench.db" --rate-limit 0 --threads 4 2>"$work/server.log" &
server=$!
port=$(table_port "$work/server.log" "$server") || { cat "$work/server.log" >&2; exit 1; }

field() { sed -n "s/^$1 //p" "$2"; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
# Without a record, scores a round can make (the scale benchmark's, "year").
# The same records for a game without rules are read but not replayed nor
# kept: what the larger body alone costs.
post() {  # out, run, [score record [game]]
  wrk -t2 -c"$conns" -d"${secs}s" --timeout 10s -s "$here/post.lua" "http://127.0.0.1:$port/api/scores" \
    -- "$2" "${5:-Barnblast V2}" year "${3:-}" "${4:-}" >"$1"
}
echo "POST /api/scores, SQLite, $conns connections, $(nproc) CPUs, median of $runs runs of ${secs}s"
echo "a record of ${#record} bytes (a two-minute round of fast play, $score points)"
for i in $(seq "$runs"); do
  post "$work/bare.$i" "$i"
  post "$work/round.$i" $((100 + i)) "$score" "$record"
  post "$work/body.$i" $((200 + i)) "$score" "$record" Other
  for f in "$work/bare.$i" "$work/round.$i" "$work/body.$i"; do
    if [[ $(field other "$f") != 0 || $(field socket_errors "$f") != 0 ]]; then
      echo "FAILED: $(field other "$f") posts not stored in $f" >&2; exit 1
    fi
  done
done
bare=$(for i in $(seq "$runs"); do field rps "$work/bare.$i"; done | median)
round=$(for i in $(seq "$runs"); do field rps "$work/round.$i"; done | median)
body=$(for i in $(seq "$runs"); do field rps "$work/body.$i"; done | median)
printf '  without records  %9.1f posts/s\n  with records     %9.1f posts/s\n  ratio            %9.2f (goal: at least 0.8)\n' \
  "$bare" "$round" "$(echo "$round / $bare" | bc -l)"
printf '  the same bodies for a game without rules (read, not replayed): %.1f posts/s, ratio %.2f\n' \
  "$body" "$(echo "$body / $bare" | bc -l)"
