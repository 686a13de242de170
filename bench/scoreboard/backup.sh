#!/usr/bin/env bash
# How long `--backup` takes on a live SQLite table of ROWS scores, and how
# many posts the server answers meanwhile: wrk posts throughout, and the
# rows committed during each backup, over its length, are its posts/s; the
# same count over as long a window without a backup is set beside it. A
# restore of the copy into a new file is timed last. Not a test: it measures.
# Usage: backup.sh path/to/barnblast-scoreboard [rows] [runs]
set -euo pipefail
exe=${1:?usage: backup.sh path/to/barnblast-scoreboard [rows] [runs]}
rows=${2:-100000}
runs=${3:-3}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/lib/table.sh
source "$here/../../scripts/lib/table.sh"
work=$(mktemp -d)
server=""
wrkpid=""
cleanup() {
  [[ -n $wrkpid ]] && kill "$wrkpid" 2>/dev/null || true
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
db=$work/scores.db

start_server() {
  "$exe" --port 0 --db "$db" --rate-limit 0 2>"$work/server.log" &
  server=$!
  port=$(table_port "$work/server.log" "$server") || { cat "$work/server.log" >&2; exit 1; }
}
count() { sqlite3 "$db" "SELECT COUNT(*) FROM scores"; }
now() { date +%s.%N; }

# The layout from a first start, then the rows by SQL (the triggers count them).
start_server
kill "$server"; wait "$server" || true
sqlite3 "$db" "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
  INSERT INTO scores (id, game, name, score, time_ms)
  SELECT printf('%08x-0000-4000-8000-%012x', i, i), 'Bench', 'p' || (i % 1000), (i * 7919) % 100000,
         1700000000000 + i * 1000 FROM n;"
start_server
wrk -t 2 -c 8 -d 600s -s "$here/post.lua" "http://127.0.0.1:$port" >/dev/null 2>&1 &
wrkpid=$!
sleep 2
echo "backup of a live SQLite table of $rows scores, wrk posting throughout"
printf '%-6s %10s %12s %14s %10s\n' run rows backup_s posts/s_during posts/s_without
for r in $(seq "$runs"); do
  copy=$work/copy-$r.db
  n0=$(count); t0=$(now)
  "$exe" --db "$db" --backup "$copy" 2>/dev/null
  t1=$(now); n1=$(count)
  secs=$(echo "$t1 - $t0" | bc -l)
  # The same length of time again, without a backup.
  m0=$(count); u0=$(now)
  sleep "$secs"
  u1=$(now); m1=$(count)
  printf '%-6s %10s %12.3f %14.0f %10.0f\n' "$r" "$(sqlite3 "$copy" 'SELECT COUNT(*) FROM scores')" "$secs" \
    "$(echo "($n1 - $n0) / $secs" | bc -l)" "$(echo "($m1 - $m0) / ($u1 - $u0)" | bc -l)"
done
kill "$wrkpid"; wrkpid=""
t0=$(now)
"$exe" --db "$work/restored.db" --restore "$work/copy-1.db" || echo "restore failed: status $?"
printf 'restore into a new SQLite file: %.3f s\n' "$(echo "$(now) - $t0" | bc -l)"
