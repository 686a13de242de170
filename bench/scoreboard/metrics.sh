#!/usr/bin/env bash
# What the metrics cost the score table: POST /api/scores per second with a
# real Prometheus scraping /metrics every second, against none, in the same
# run on the same server (SQLite, metrics on the public port). The two kinds
# of run alternate, so that a machine's drift falls on both; medians and
# their ratio are printed. Not a test: it measures.
# Usage: metrics.sh path/to/barnblast-scoreboard [seconds per run] [connections] [runs]
set -euo pipefail
exe=${1:?usage: metrics.sh path/to/barnblast-scoreboard [seconds] [connections] [runs]}
secs=${2:-5}
conns=${3:-32}
runs=${4:-3}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../../scripts/lib/table.sh
source "$here/../../scripts/lib/table.sh"
work=$(mktemp -d)
server=""
prom=""
cleanup() {
  [[ -n $prom ]] && kill "$prom" 2>/dev/null && wait "$prom" 2>/dev/null || true
  [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$exe" --port 0 --db "$work/scores.db" --rate-limit 0 --threads 4 2>"$work/server.log" &
server=$!
port=$(table_port "$work/server.log" "$server") || { cat "$work/server.log" >&2; exit 1; }
# A port for Prometheus that nothing on loopback listens on.
prom_port=""
while [[ -z $prom_port ]] || (exec 3<>"/dev/tcp/127.0.0.1/$prom_port") 2>/dev/null; do
  prom_port=$((20000 + RANDOM % 30000))
done
cat >"$work/prometheus.yml" <<YAML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: scoreboard
    static_configs:
      - targets: ["127.0.0.1:$port"]
YAML

field() { sed -n "s/^$1 //p" "$2"; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR % 2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
scrapes() {
  curl -s "http://127.0.0.1:$port/metrics" |
    awk '/^scoreboard_requests_total\{.*route="\/metrics"/ { n += $2 } END { print n + 0 }'
}

# Prometheus started afresh for each scraped run, and waited for until its
# first scrape is in (bounded: a minute).
start_prometheus() {
  rm -rf "$work/tsdb"
  prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$prom_port" >"$work/prometheus.log" 2>&1 &
  prom=$!
  for _ in $(seq 600); do
    curl -sf "http://127.0.0.1:$prom_port/api/v1/query?query=up" | grep -q '"value":\[[0-9.]*,"1"\]' && return 0
    sleep 0.1
  done
  cat "$work/prometheus.log" >&2
  echo "Prometheus did not scrape the table within a minute" >&2
  exit 1
}

echo "POST /api/scores over loopback with wrk against $exe ($(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg))"
echo "median of $runs runs of ${secs}s each, $conns connections, runs alternating"
off=(); on=(); scraped=0
for i in $(seq "$runs"); do
  wrk -t2 -c"$conns" -d"${secs}s" --timeout 10s -s "$here/post.lua" "http://127.0.0.1:$port/api/scores" \
    -- $((2 * i)) >"$work/off.$i"
  off+=("$(field rps "$work/off.$i")")
  start_prometheus
  before=$(scrapes)
  wrk -t2 -c"$conns" -d"${secs}s" --timeout 10s -s "$here/post.lua" "http://127.0.0.1:$port/api/scores" \
    -- $((2 * i + 1)) >"$work/on.$i"
  scraped=$((scraped + $(scrapes) - before - 1))
  kill "$prom"; wait "$prom" 2>/dev/null || true; prom=""
  on+=("$(field rps "$work/on.$i")")
  printf '  run %d: %9.1f posts/s unscraped, %9.1f scraped\n' "$i" "${off[-1]}" "${on[-1]}"
done
m_off=$(printf '%s\n' "${off[@]}" | median)
m_on=$(printf '%s\n' "${on[@]}" | median)
rows=$(curl -s "http://127.0.0.1:$port/metrics" | sed -n 's/^scoreboard_game_rows{game="Bench"} //p')
printf 'unscraped: %.1f posts/s   scraped every second: %.1f posts/s   ratio %.3f\n' \
  "$m_off" "$m_on" "$(awk -v a="$m_on" -v b="$m_off" 'BEGIN { print a / b }')"
echo "scrapes during the scraped runs: $scraped; rows at the end: $rows ($(wc -c <"$work/scores.db") bytes)"
