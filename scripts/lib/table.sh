# shellcheck shell=bash
# What the scripts that start a score table share.

# Prints the port of the score table started with --port 0 whose log is $1,
# once the log says it listens. Gives up after $3 seconds (default 10), or
# as soon as process $2 (when given) has ended; then prints nothing and
# fails.
table_port() {
  local log=$1 pid=${2:-} seconds=${3:-10} port="" i
  for ((i = 0; i < seconds * 20; i++)); do
    port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$log" 2>/dev/null)
    [[ -n $port ]] && { echo "$port"; return 0; }
    [[ -n $pid ]] && ! kill -0 "$pid" 2>/dev/null && break
    sleep 0.05
  done
  return 1
}
