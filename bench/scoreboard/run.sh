#!/usr/bin/env bash
# Load test of the score table over loopback with wrk: POSTs with unique ids,
# GETs of a top 10, and both at once; each phase several times, medians
# printed. The same phases run against three set-ups in turn: one server on
# an SQLite file, one server on PostgreSQL, and two servers sharing one
# PostgreSQL database (each phase then runs one wrk per server at once, with
# half the connections each: requests/s are summed, p99 is the worse of the
# two). Beside them, the rate of bare fdatasync calls in the scratch folder:
# what one commit per post could reach at best. After each set-up every row
# is counted: none lost, none twice. A table of all of it comes last.
#
# PostgreSQL is a throwaway cluster (tests/scoreboard/postgres.sh) in a folder
# beside the scratch one, with its default settings (fsync and
# synchronous_commit on), on a Unix socket; without PostgreSQL installed, only
# SQLite is measured.
# Usage: run.sh path/to/barnblast-scoreboard [seconds per run] [connections] [runs] [path/to/scoreboard-sync-rate]
# (without the last, SyncRate.cpp is compiled into the scratch folder)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/lib/table.sh
source "$here/../../scripts/lib/table.sh"
exe=${1:?usage: run.sh path/to/barnblast-scoreboard [seconds] [connections] [runs]}
secs=${2:-5}
conns=${3:-32}
runs=${4:-3}
postgres=$here/../../tests/scoreboard/postgres.sh
# The scratch folder, and so the database, on the disk that TMPDIR names.
work=$(mktemp -d)
pgdir=$work-pg
sync_rate=${5:-}
pids=()
cluster=""
stop_servers() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_servers
  [[ -n $cluster ]] && bash "$postgres" teardown "$pgdir" || true
  [[ -n ${KEEP:-} ]] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT
if [[ -z $sync_rate ]]; then
  sync_rate=$work/sync-rate
  c++ -O2 -o "$sync_rate" "$here/SyncRate.cpp"
fi

# Starts a server on `db`, logging to `log`, and adds its port to `ports`.
start_server() {
  local db=$1 log=$2 port=""
  "$exe" --port 0 --db "$db" --rate-limit 0 --threads 4 2>"$log" &
  pids+=("$!")
  port=$(table_port "$log" "$!") || { cat "$log" >&2; echo "server did not start" >&2; exit 1; }
  ports+=("$port")
}

field() { sed -n "s/^$1 //p" "$2"; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# One phase's run against every server at once: one wrk per server with an
# equal share of the connections; the files it leaves are merged into `out`
# (rates and counts summed, the worse p99). $3 numbers the run (posts only),
# which goes into every id it posts; each server's wrk gets its own.
wrk_all() {  # post|get, out, run
  local kind=$1 out=$2 run=${3:-0} k=0 share wpids=() port p
  share=$((conns / ${#ports[@]}))
  for port in "${ports[@]}"; do
    k=$((k + 1))
    if [[ $kind == post ]]; then
      wrk -t2 -c"$share" -d"${secs}s" --timeout 10s -s "$here/post.lua" "http://127.0.0.1:$port/api/scores" \
        -- $((run + 1000 * (k - 1))) >"$out.$k" &
    else
      wrk -t2 -c"$share" -d"${secs}s" --timeout 10s -s "$here/get.lua" \
        "http://127.0.0.1:$port/api/scores?game=Bench&limit=10" >"$out.$k" &
    fi
    wpids+=("$!")
  done
  for p in "${wpids[@]}"; do wait "$p"; done
  cat "$out".? | awk '
    $1 == "p99_ms" || $1 == "p50_ms" { if ($2 > v[$1]) v[$1] = $2; next }
    { v[$1] += $2 }
    END { for (k in v) print k, v[k] }' >"$out"
}

created=0; sent=0; failed=0
tally_post() {
  created=$((created + $(field created "$1")))
  sent=$((sent + $(field sent "$1")))
  failed=$((failed + $(field other "$1") + $(field socket_errors "$1")))
}
tally_get() { failed=$((failed + $(field not_200 "$1") + $(field socket_errors "$1"))); }

summary=()
report() {  # phase name, files...
  local name=$1; shift
  local rps p99
  rps=$(for f in "$@"; do field rps "$f"; done | median)
  p99=$(for f in "$@"; do field p99_ms "$f"; done | median)
  printf '  %-26s requests/s %9.1f   p99 %8.2f ms\n' "$name" "$rps" "$p99"
  row+=" $(printf '%.0f (%.1f ms)' "$rps" "$p99") |"
}

# The four phases against the servers in `ports`, then the row count, read
# by `count_rows` once the servers are stopped.
bench() {  # label, dir for its files
  local label=$1 out=$2 posts=() gets=() mix_posts=() mix_gets=() i p rows distinct cut max_cut
  mkdir -p "$out"
  created=0; sent=0; failed=0
  row="| $label |"
  echo "$label ($(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg); median of $runs runs of ${secs}s, $conns connections)"
  for i in $(seq "$runs"); do
    wrk_all post "$out/post.$i" "$i"; tally_post "$out/post.$i"; posts+=("$out/post.$i")
  done
  report "POST /api/scores" "${posts[@]}"
  for i in $(seq "$runs"); do
    wrk_all get "$out/get.$i"; tally_get "$out/get.$i"; gets+=("$out/get.$i")
  done
  report "GET top 10" "${gets[@]}"
  for i in $(seq "$runs"); do
    wrk_all post "$out/mixpost.$i" $((100 + i)) & p=$!
    wrk_all get "$out/mixget.$i"
    wait "$p"
    tally_post "$out/mixpost.$i"; tally_get "$out/mixget.$i"
    mix_posts+=("$out/mixpost.$i"); mix_gets+=("$out/mixget.$i")
  done
  report "POST, alongside GETs" "${mix_posts[@]}"
  report "GET top 10, alongside POSTs" "${mix_gets[@]}"
  summary+=("$row")

  for p in "${pids[@]}"; do kill -TERM "$p"; wait "$p" || true; done
  pids=()
  read -r rows distinct < <(count_rows)
  # A request can be stored and its answer cut off when wrk stops at the end
  # of a run: at most one per connection per run.
  cut=$((rows - created))
  max_cut=$((conns * runs * 2))
  echo "  answered 201: $created   sent: $sent   rows: $rows   distinct ids: $distinct   failures: $failed"
  if ((rows < created)); then echo "LOST: $((created - rows)) scores answered 201 are missing" >&2; status=1; fi
  if ((distinct != rows)); then echo "TWICE: $((rows - distinct)) ids stored more than once" >&2; status=1; fi
  if ((cut > max_cut || rows > sent)); then echo "UNEXPECTED: more rows than posts could explain" >&2; status=1; fi
  if ((failed > 0)); then echo "FAILED: $failed requests not answered as expected" >&2; status=1; fi
  if ((rows >= created && distinct == rows && cut <= max_cut && rows <= sent && failed == 0)); then
    echo "  none lost, none twice ($cut stored whose answer was cut off when wrk stopped)"
  fi
}

status=0
echo "wrk over loopback against $exe"
syncs=$("$sync_rate" "$work" 3 | sed -n 's/^fdatasync_per_s //p')
printf 'bare fdatasync: %.1f calls/s (3 s of 512-byte appends in %s)\n\n' "$syncs" "$work"

ports=()
start_server "$work/bench.db" "$work/sqlite.log"
count_rows() {
  sqlite3 -separator ' ' "$work/bench.db" "SELECT COUNT(*), COUNT(DISTINCT id) FROM scores WHERE game = 'Bench'"
}
bench "SQLite, one server" "$work/sqlite"

if bash "$postgres" setup "$pgdir" >"$work/cluster.log" 2>&1; then
  cluster=yes
  pg() { psql -X -q -t -A -F ' ' "postgresql:///$1?host=$pgdir&user=postgres" -c "$2"; }
  for db in one two; do pg postgres "CREATE DATABASE bench_$db"; done

  echo
  ports=()
  start_server "postgresql:///bench_one?host=$pgdir&user=postgres" "$work/pg-one.log"
  count_rows() { pg bench_one "SELECT COUNT(*), COUNT(DISTINCT id) FROM scores WHERE game = 'Bench'"; }
  bench "PostgreSQL, one server" "$work/pg-one"

  echo
  ports=()
  start_server "postgresql:///bench_two?host=$pgdir&user=postgres" "$work/pg-two-a.log"
  start_server "postgresql:///bench_two?host=$pgdir&user=postgres" "$work/pg-two-b.log"
  count_rows() { pg bench_two "SELECT COUNT(*), COUNT(DISTINCT id) FROM scores WHERE game = 'Bench'"; }
  bench "PostgreSQL, two servers" "$work/pg-two"
else
  echo
  echo "PostgreSQL not measured: its throwaway cluster did not start:"
  cat "$work/cluster.log"
fi

echo
echo "| store, servers | POST/s (p99) | GET top 10/s (p99) | POST/s alongside GETs (p99) | GET/s alongside POSTs (p99) |"
echo "| --- | ---: | ---: | ---: | ---: |"
for r in "${summary[@]}"; do echo "$r"; done
exit "$status"
