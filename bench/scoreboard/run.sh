#!/usr/bin/env bash
# Load test of the score table over loopback with wrk: POSTs with unique ids,
# GETs of a top 10, and both at once; each phase several times, medians
# printed. Beside them, the rate of bare fdatasync calls in the database's
# folder: what one commit per post could reach at best. Afterwards every row
# is counted: none lost, none twice.
# Usage: run.sh path/to/barnblast-scoreboard [seconds per run] [connections] [runs] [path/to/scoreboard-sync-rate]
# (without the last, SyncRate.cpp is compiled into the scratch folder)
set -euo pipefail
exe=${1:?usage: run.sh path/to/barnblast-scoreboard [seconds] [connections] [runs]}
secs=${2:-5}
conns=${3:-32}
runs=${4:-3}
here=$(cd "$(dirname "$0")" && pwd)
# The scratch folder, and so the database, on the disk that TMPDIR names.
work=$(mktemp -d)
sync_rate=${5:-}
pid=""
cleanup() {
  [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null || true
  [[ -n ${KEEP:-} ]] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
if [[ -z $sync_rate ]]; then
  sync_rate=$work/sync-rate
  c++ -O2 -o "$sync_rate" "$here/SyncRate.cpp"
fi

"$exe" --port 0 --db "$work/bench.db" --rate-limit 0 --threads 4 2>"$work/server.log" &
pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$work/server.log")
  [[ -n $port ]] && break
  sleep 0.1
done
[[ -n $port ]] || { cat "$work/server.log"; echo "server did not start" >&2; exit 1; }
base="http://127.0.0.1:$port"

field() { sed -n "s/^$1 //p" "$2"; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
# $2 numbers the run, which goes into every id it posts.
wrk_post() { wrk -t2 -c"$conns" -d"${secs}s" --timeout 10s -s "$here/post.lua" "$base/api/scores" -- "$2" > "$1"; }
wrk_get() { wrk -t2 -c"$conns" -d"${secs}s" --timeout 10s -s "$here/get.lua" "$base/api/scores?game=Bench&limit=10" > "$1"; }

created=0; sent=0; failed=0
tally_post() {
  created=$((created + $(field created "$1")))
  sent=$((sent + $(field sent "$1")))
  failed=$((failed + $(field other "$1") + $(field socket_errors "$1")))
}
tally_get() { failed=$((failed + $(field not_200 "$1") + $(field socket_errors "$1"))); }

report() {  # phase name, files...
  local name=$1; shift
  local rps p99
  rps=$(for f in "$@"; do field rps "$f"; done | median)
  p99=$(for f in "$@"; do field p99_ms "$f"; done | median)
  printf '%-26s requests/s %9.1f   p99 %8.2f ms   (median of %d runs of %ss, %d connections)\n' \
    "$name" "$rps" "$p99" "$#" "$secs" "$conns"
}

echo "wrk over loopback against $exe ($(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg))"
syncs=$("$sync_rate" "$work" 3 | sed -n 's/^fdatasync_per_s //p')
printf '%-26s    calls/s %9.1f   (3 s of 512-byte appends in %s)\n' "bare fdatasync" "$syncs" "$work"
posts=(); gets=(); mix_posts=(); mix_gets=()
for i in $(seq "$runs"); do
  wrk_post "$work/post.$i" "$i"; tally_post "$work/post.$i"; posts+=("$work/post.$i")
done
report "POST /api/scores" "${posts[@]}"
for i in $(seq "$runs"); do
  wrk_get "$work/get.$i"; tally_get "$work/get.$i"; gets+=("$work/get.$i")
done
report "GET top 10" "${gets[@]}"
for i in $(seq "$runs"); do
  wrk_post "$work/mixpost.$i" $((100 + i)) & p=$!
  wrk_get "$work/mixget.$i"
  wait "$p"
  tally_post "$work/mixpost.$i"; tally_get "$work/mixget.$i"
  mix_posts+=("$work/mixpost.$i"); mix_gets+=("$work/mixget.$i")
done
report "POST, alongside GETs" "${mix_posts[@]}"
report "GET top 10, alongside POSTs" "${mix_gets[@]}"
post_rps=$(for f in "${posts[@]}"; do field rps "$f"; done | median)
get_p99=$(for f in "${gets[@]}"; do field p99_ms "$f"; done | median)
mix_p99=$(for f in "${mix_gets[@]}"; do field p99_ms "$f"; done | median)
awk -v p="$post_rps" -v s="$syncs" -v a="$get_p99" -v b="$mix_p99" 'BEGIN {
  printf "POST/s / fdatasync/s: %.2f   GET p99 alongside POSTs / alone: %.2f\n", p / s, b / a }'

kill -TERM "$pid"
wait "$pid" || true
pid=""
read -r rows distinct < <(sqlite3 -separator ' ' "$work/bench.db" \
  "SELECT COUNT(*), COUNT(DISTINCT id) FROM scores WHERE game = 'Bench'")
# A request can be stored and its answer cut off when wrk stops at the end of
# a run: at most one per connection per run.
cut=$((rows - created))
max_cut=$((conns * runs * 2))
echo "answered 201: $created   sent: $sent   rows: $rows   distinct ids: $distinct   failures: $failed"
status=0
if ((rows < created)); then echo "LOST: $((created - rows)) scores answered 201 are missing" >&2; status=1; fi
if ((distinct != rows)); then echo "TWICE: $((rows - distinct)) ids stored more than once" >&2; status=1; fi
if ((cut > max_cut || rows > sent)); then echo "UNEXPECTED: more rows than posts could explain" >&2; status=1; fi
if ((failed > 0)); then echo "FAILED: $failed requests not answered as expected" >&2; status=1; fi
((status == 0)) && echo "none lost, none twice ($cut stored whose answer was cut off when wrk stopped)"
exit "$status"
