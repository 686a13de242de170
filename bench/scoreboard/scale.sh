#!/usr/bin/env bash
# The score table at scale: one game of ROWS scores (default 2,000,000; 50,000
# names) filled straight into the database in each shape of SHAPES, then the
# server started on it and asked as players would. A shape is
# spread,time,statistics:
#   spread: own (0 to 2,000 in steps of 5), wide (0 to 99,999) or int32
#     (the whole 32-bit range);
#   time: year (the last year up to now), hour (one hour long ago) or today;
#   statistics: analyze (ANALYZE after the fill) or none.
# The default is every shape. For SQLite and then PostgreSQL (a throwaway
# cluster with its default settings, on a Unix socket) it prints, per shape:
#   - POST/s and p99 with 16 connections (wrk, SECONDS), on an empty table
#     first and then on the full one;
#   - one POST at a time (wrk, one connection: median latency);
#   - the first post after the server's start, and how long the start took;
#   - pages 1, middle and last of the table, a player's page, an around-me
#     answer, the week and day views: each the median of SAMPLES, each
#     sample right after a post, so that no answer kept from before counts;
#   - the server's resident memory at the end (and its peak).
# Answers other than 200 (a server without around-me or periods) print as
# "n/a". A table of both stores comes last.
# Usage: scale.sh path/to/barnblast-scoreboard [rows] [seconds] [samples]
# (STORES="sqlite" or "postgres" measures only that one; SHAPES="own,year,analyze
# int32,hour,none" only those shapes; PEER=path/to/another/barnblast-scoreboard
# measures that one too, on the same fill right after, labelled "peer": a
# build to compare with, under the same load. The peer's empty table is a
# fresh file of its own in SQLite; in PostgreSQL it holds the first one's
# posts, a few thousand rows. PEER_FIRST=1 measures the peer first: an
# older build whose layout this one upgrades, which it could not open after.)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/lib/table.sh
source "$here/../../scripts/lib/table.sh"
stores=${STORES:-sqlite postgres}
exe=${1:?usage: scale.sh path/to/barnblast-scoreboard [rows] [seconds] [samples]}
exes=("$exe")
names=("")
[[ -z ${PEER:-} ]] || { exes+=("$PEER"); names+=(" peer"); }
[[ -z ${PEER:-} || -z ${PEER_FIRST:-} ]] || { exes=("$PEER" "$exe"); names=(" peer" ""); }
rows=${2:-2000000}
secs=${3:-10}
samples=${4:-7}
postgres=$here/../../tests/scoreboard/postgres.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/scoreboard-scale.XXXXXX")
pgdir=$work-pg
game=Scale
pid=""
cluster=""
cleanup() {
  [[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null || true
  [[ -n $cluster ]] && bash "$postgres" teardown "$pgdir" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

now_ms=$(date +%s%3N)
all_shapes=""
for s in own wide int32; do for t in year hour today; do for a in analyze none; do
  all_shapes+=" $s,$t,$a"
done; done; done
shapes=${SHAPES:-$all_shapes}
# Row x of shape $1: its id, name, score and time.
columns() {
  local spread time score from span
  IFS=, read -r spread time _ <<<"$1"
  case $spread in
    own) score="((x * 7919) % 401) * 5" ;;
    int32) score="((x * 2654435761) % 4294967296) - 2147483648" ;;
    *) score="(x * 7919) % 100000" ;;
  esac
  case $time in
    hour) from=1700000000000; span=3600000 ;;
    today) from=$((now_ms / 86400000 * 86400000)); span=$((now_ms - from)) ;;
    *) from=$((now_ms - 365 * 86400000)); span=$((365 * 86400000)) ;;
  esac
  echo "'fill-' || x, '$game', 'n' || (x % 50000), $score, $from + x * $((span / rows))"
}

median() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) print "n/a"; else print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

# Starts the server on $1, logging to $2; sets pid and port, and start_s to
# the seconds until it listened.
start_server() {
  local t0 t1
  port=""
  t0=$(date +%s.%N)
  "$exe" --port 0 --db "$1" --rate-limit 0 --threads 4 2>"$2" &
  pid=$!
  # A build that takes every count afresh at its start takes minutes at 2
  # million rows on a busy machine.
  port=$(table_port "$2" "$pid" 600) || true
  t1=$(date +%s.%N)
  [[ -n $port ]] || { cat "$2" >&2; echo "server did not start" >&2; exit 1; }
  start_s=$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')
}
stop_server() {
  kill -TERM "$pid"
  wait "$pid" || true
  pid=""
}

post_one() {  # score name; prints the seconds the answer took
  curl -s -o /dev/null -w '%{time_total}\n' -H 'Content-Type: application/json' \
    -d "{\"game\":\"$game\",\"score\":$1,\"name\":\"$2\",\"id\":\"$(cat /proc/sys/kernel/random/uuid)\"}" \
    "http://127.0.0.1:$port/api/scores"
}

# Milliseconds of one GET of $1, or nothing if it did not answer 200 with
# $2 (a fixed string) in its body.
get_ms() {
  local out
  out=$(curl -s -o "$work/body" -w '%{http_code} %{time_total}' "http://127.0.0.1:$port$1")
  [[ ${out%% *} == 200 ]] && grep -qF -- "$2" "$work/body" && echo "${out#* }" | awk '{printf "%.2f\n", $1 * 1000}'
  return 0
}

# The median of `samples` GETs, each right after a post. $1 is a path, or
# "last" for the table's last page as it stands; $2 what the answer holds.
sample_get() {
  local i path total
  for i in $(seq "$samples"); do
    post_one $(( (i * 37) % 201 * 5 - 200 )) "sampler" >/dev/null
    path=$1
    if [[ $path == last ]]; then
      total=$(curl -s "http://127.0.0.1:$port/api/scores?game=$game&limit=1" | sed -n 's/.*"total":\([0-9]*\).*/\1/p')
      path="/games/$game?page=$(( (total + 24) / 25 ))"
    fi
    get_ms "$path" "$2"
  done | median
}

wrk_post() {  # connections, threads, seconds, run; prints "rps p50_ms p99_ms"
  local out=$work/wrk.$4
  wrk -t"$2" -c"$1" -d"$3s" --timeout 10s -s "$here/post.lua" "http://127.0.0.1:$port/api/scores" \
    -- "$4" "$game" "$spread" >"$out"
  awk '$1 == "rps" {r = $2} $1 == "p50_ms" {m = $2} $1 == "p99_ms" {p = $2} END {print r, m, p}' "$out"
}

declare -A fig
measure() {  # label, db argument for an empty table, db argument for the full one, fill command...
  local label=$1 empty=$2 full=$3 t0 t1 r i
  shift 3
  echo "$label ($(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg))"
  exe=${exes[0]}
  # Laid out by the server, then filled straight in.
  start_server "$full" "$work/$label-full.log"
  stop_server
  t0=$(date +%s.%N)
  "$@"
  t1=$(date +%s.%N)
  local fill
  fill=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f s", b - a}')
  echo "  filled $rows rows in $fill"
  for i in "${!exes[@]}"; do
    exe=${exes[$i]}
    local l=$label${names[$i]}
    echo "  $exe:"
    labels+=("$l")
    fig[$l,fill]=$fill
    # Each build a fresh empty table: one that another build grew posts
    # faster (its WAL file no longer grows).
    if [[ $empty == *.db ]]; then measure_one "$l" "${empty%.db}-$i.db" "$full"; else measure_one "$l" "$empty" "$full"; fi
  done
  echo
}

measure_one() {  # label, db argument for an empty table, db argument for the full one
  local label=$1 empty=$2 full=$3 r m p
  start_server "$empty" "$work/$label-empty.log"
  read -r r _ p <<<"$(wrk_post 16 2 "$secs" 1)"
  fig[$label,empty]="$(printf '%.0f/s, p99 %.1f ms' "$r" "$p")"
  fig[$label,rate]=$r
  echo "  POST, 16 connections, empty table:  ${fig[$label,empty]}"
  stop_server
  start_server "$full" "$work/$label-full.log"
  fig[$label,start]=$(printf '%.2f s' "$start_s")
  fig[$label,first]=$(post_one 300 first | awk '{printf "%.1f ms", $1 * 1000}')
  echo "  start ${fig[$label,start]}; first post ${fig[$label,first]}"
  # A build may upgrade the layout at its first start: the next start is
  # what every later one costs.
  stop_server
  start_server "$full" "$work/$label-full.log"
  fig[$label,restart]=$(printf '%.2f s' "$start_s")
  fig[$label,first2]=$(post_one 305 second | awk '{printf "%.1f ms", $1 * 1000}')
  echo "  restart ${fig[$label,restart]}; first post ${fig[$label,first2]}"
  read -r _ m _ <<<"$(wrk_post 1 1 3 2)"
  fig[$label,single]=$(printf '%.2f ms' "$m")
  echo "  one POST at a time (median):        ${fig[$label,single]}"
  local middle=$(( (rows / 25 + 1) / 2 ))
  fig[$label,page1]=$(sample_get "/games/$game?page=1" "<table")
  fig[$label,pagemid]=$(sample_get "/games/$game?page=$middle" "<table")
  fig[$label,pagelast]=$(sample_get last "<table")
  fig[$label,player]=$(sample_get "/players/n12345" "<table")
  fig[$label,around]=$(sample_get "/api/scores?game=$game&around=fill-$((rows / 2))" '"around"')
  fig[$label,week]=$(sample_get "/games/$game?period=week&page=2" "This week")
  fig[$label,day]=$(sample_get "/games/$game?period=day&page=2" "Today")
  echo "  pages 1 / $middle / last (ms):   ${fig[$label,page1]} / ${fig[$label,pagemid]} / ${fig[$label,pagelast]}"
  echo "  player's page ${fig[$label,player]} ms; around-me ${fig[$label,around]} ms; week ${fig[$label,week]} ms; day ${fig[$label,day]} ms"
  read -r r _ p <<<"$(wrk_post 16 2 "$secs" 3)"
  fig[$label,full]="$(printf '%.0f/s (%.2fx empty), p99 %.1f ms' "$r" "$(awk -v a="$r" -v b="${fig[$label,rate]}" 'BEGIN {print (b > 0) ? a / b : 0}')" "$p")"
  echo "  POST, 16 connections, full table:   ${fig[$label,full]}"
  fig[$label,rss]=$(awk '$1 == "VmRSS:" {r = $2} $1 == "VmHWM:" {h = $2} END {printf "%.0f MB (peak %.0f MB)", r / 1024, h / 1024}' "/proc/$pid/status")
  echo "  server's resident memory: ${fig[$label,rss]}"
  stop_server
}

# The disk's own bound for one commit a post, before and after, as the
# fresh table's POST rate is compared with it.
c++ -O2 -o "$work/sync-rate" "$here/SyncRate.cpp"
sync_rate() { "$work/sync-rate" "$work" 3 | sed -n 's/^fdatasync_per_s //p' | xargs printf 'bare fdatasync: %.0f/s\n'; }
labels=()
echo "scale benchmark of ${exes[*]}: $rows rows"
sync_rate
if [[ $stores == *sqlite* ]]; then
  for shape in $shapes; do
    spread=${shape%%,*}
    rm -f "$work"/empty.db* "$work"/full.db*
    sqlite_fill() {
      sqlite3 "$work/full.db" "WITH RECURSIVE i(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM i WHERE x < $((rows - 1)))
        INSERT INTO scores (id, game, name, score, time_ms) SELECT $(columns "$shape") FROM i" >/dev/null
      [[ $shape != *,analyze ]] || sqlite3 "$work/full.db" "ANALYZE" >/dev/null
      # The fill's WAL into the file now, not during the first build's measures.
      sqlite3 "$work/full.db" "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
    }
    measure "SQLite $shape" "$work/empty.db" "$work/full.db" sqlite_fill
  done
fi

if [[ $stores != *postgres* ]]; then
  :
elif bash "$postgres" setup "$pgdir" >"$work/cluster.log" 2>&1; then
  cluster=yes
  pg() { psql -X -q -t -A "postgresql:///$1?host=$pgdir&user=postgres" -c "$2"; }
  n=0
  for shape in $shapes; do
    spread=${shape%%,*}
    n=$((n + 1))
    for db in empty full; do pg postgres "CREATE DATABASE scale_${db}_$n"; done
    pg_fill() {
      # Statistics only when the shape asks: autovacuum would take them unasked.
      pg "scale_full_$n" "ALTER TABLE scores SET (autovacuum_enabled = off)" >/dev/null
      pg "scale_full_$n" "INSERT INTO scores (id, game, name, score, time_ms)
        SELECT $(columns "$shape") FROM generate_series(0::bigint, $((rows - 1))) AS x" >/dev/null
      if [[ $shape == *,analyze ]]; then pg "scale_full_$n" "VACUUM ANALYZE" >/dev/null
      else pg "scale_full_$n" "VACUUM" >/dev/null; fi
    }
    measure "PostgreSQL $shape" "postgresql:///scale_empty_$n?host=$pgdir&user=postgres" \
      "postgresql:///scale_full_$n?host=$pgdir&user=postgres" pg_fill
    for db in empty full; do pg postgres "DROP DATABASE scale_${db}_$n"; done
  done
else
  echo "PostgreSQL not measured: its throwaway cluster did not start:"
  cat "$work/cluster.log"
fi

sync_rate
# One line a store and shape, one column a figure.
keys=(fill empty full single start first restart first2 page1 pagemid pagelast player around week day rss)
echo "| at $rows rows | fill | POST 16 conn., empty | POST 16 conn. (wrk, ${secs} s) | POST alone (median) | start |\
 first post | restart | first post after it | page 1 (ms) | middle page | last page | player's page | around-me | week | day | memory |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for l in "${labels[@]}"; do
  line="| $l |"
  for k in "${keys[@]}"; do line+=" ${fig[$l,$k]} |"; done
  echo "$line"
done
