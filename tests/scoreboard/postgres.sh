#!/usr/bin/env bash
# A throwaway PostgreSQL for the tests and the load test: a cluster in DIR/data
# that listens only on a Unix socket in DIR (no TCP port at all), with trust
# authentication for the role "postgres". PostgreSQL refuses to run as root,
# so under root the cluster belongs to the unprivileged "postgres" user (or
# "nobody" where there is none).
#
# Usage: postgres.sh setup DIR [SETTING=VALUE...]   a new cluster, started
#        postgres.sh stop DIR                        stops it, keeping its data
#        postgres.sh start DIR                       starts it again
#        postgres.sh teardown DIR                    stops it and removes DIR
# The connection URI for database NAME is then
#   postgresql:///NAME?host=DIR&user=postgres
set -euo pipefail
cmd=${1:?usage: postgres.sh setup|stop|start|teardown DIR [SETTING=VALUE...]}
dir=${2:?usage: postgres.sh setup|stop|start|teardown DIR [SETTING=VALUE...]}
shift 2

bin=""
if command -v pg_config >/dev/null; then bin=$(pg_config --bindir); fi
if [[ ! -x $bin/initdb ]]; then
  bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
fi
[[ -x $bin/initdb ]] || { echo "postgres.sh: initdb not found (Debian: apt install postgresql)" >&2; exit 1; }

as_owner() {
  if [[ $(id -u) -eq 0 ]]; then
    local user=postgres
    id -u "$user" >/dev/null 2>&1 || user=nobody
    runuser -u "$user" -- "$@"
  else
    "$@"
  fi
}

ctl() { as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" "$@"; }

case $cmd in
  setup)
    if [[ -d $dir/data ]]; then ctl stop -m immediate >/dev/null 2>&1 || true; fi
    rm -rf "$dir"
    mkdir -p "$dir"
    if [[ $(id -u) -eq 0 ]]; then
      owner=postgres
      id -u "$owner" >/dev/null 2>&1 || owner=nobody
      chown "$owner" "$dir"
    fi
    chmod 700 "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth=trust --no-locale -E UTF8 >"$dir/initdb.log" 2>&1 ||
      { cat "$dir/initdb.log" >&2; exit 1; }
    {
      echo "listen_addresses = ''"
      echo "unix_socket_directories = '$dir'"
      echo "max_connections = 200"
      for setting in "$@"; do echo "$setting"; done
    } >>"$dir/data/postgresql.conf"
    ctl -w -t 60 start >/dev/null || { cat "$dir/log" >&2; exit 1; }
    ;;
  start) ctl -w -t 60 start >/dev/null || { cat "$dir/log" >&2; exit 1; } ;;
  stop) ctl -w -t 60 stop -m fast >/dev/null ;;
  teardown)
    if [[ -d $dir/data ]]; then ctl -w -t 60 stop -m fast >/dev/null 2>&1 || ctl stop -m immediate >/dev/null 2>&1 || true; fi
    rm -rf "$dir"
    ;;
  *) echo "postgres.sh: unknown command $cmd" >&2; exit 2 ;;
esac
