#!/usr/bin/env bash
# The two programs' command lines: --help and --version, and one plain
# sentence with a non-zero status for each way a start can go wrong, leaving
# no file behind.
# Usage: CommandLineTest.sh <barnblast> <barnblast-scoreboard> <version>
set -uo pipefail
# shellcheck source=../../scripts/lib/table.sh
source "$(dirname "$0")/../../scripts/lib/table.sh"
game=$(realpath "$1") table=$(realpath "$2") version=$3
work=$(mktemp -d)
server=""
cleanup() {
    [[ -n $server ]] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
# A home of its own, where --help and --version must make nothing.
export HOME=$work/home
unset XDG_DATA_HOME
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Runs a command in a fresh empty folder; sets status, out, err and files
# (what it left in the folder).
run() {
    rm -rf "$work/here" && mkdir "$work/here"
    (cd "$work/here" && timeout 10 "$@" >"$work/out" 2>"$work/err")
    status=$?
    out=$(cat "$work/out") err=$(cat "$work/err")
    files=$(ls -A "$work/here")
}
expect() { # status lines-on-stderr description
    [[ $status -eq $1 ]] || fail "$3: exit status $status, expected $1"
    [[ $(printf '%s' "$err" | grep -c '') -eq $2 ]] || fail "$3: stderr was: $err"
    [[ -z $files ]] || fail "$3: left $files behind"
}

# The game.
run "$game" --version
expect 0 0 "barnblast --version"
[[ $out == "barnblast $version" ]] || fail "barnblast --version printed: $out"
for flag in --help -h; do
    run "$game" "$flag"
    expect 0 0 "barnblast $flag"
    for word in "space" "BARNBLAST_SCORE_SITE" "BARNBLAST_DATA" "name.dat" "--audio-device" "--list-audio-devices" \
        "BARNBLAST_AUDIO_DEVICE" "--practice" "--key-fire" "--duck"; do
        grep -q -- "$word" <<<"$out" || fail "barnblast $flag does not mention $word"
    done
done
for args in "--frobnicate" "play" "--help extra"; do
    # shellcheck disable=SC2086
    run "$game" $args
    expect 2 1 "barnblast $args"
    [[ -z $out ]] || fail "barnblast $args wrote to standard output: $out"
    grep -q -- "--help" <<<"$err" || fail "barnblast $args does not point to --help: $err"
done
# The output devices: SDL's dummy driver offers exactly one.
run env SDL_AUDIODRIVER=dummy "$game" --list-audio-devices
expect 0 0 "barnblast --list-audio-devices"
[[ $out == "System audio output device" ]] || fail "barnblast --list-audio-devices printed: $out"
run "$game" --audio-device
expect 2 1 "barnblast --audio-device without a name"
grep -q -- "--list-audio-devices" <<<"$err" || fail "barnblast --audio-device does not point to the list: $err"
[[ ! -e $HOME ]] || fail "barnblast with arguments made $(find "$HOME")"

# The score table.
run "$table" --version
expect 0 0 "barnblast-scoreboard --version"
[[ $out == "barnblast-scoreboard $version" ]] || fail "barnblast-scoreboard --version printed: $out"
run "$table" --help
expect 0 0 "barnblast-scoreboard --help"
grep -q -- "--version" <<<"$out" || fail "barnblast-scoreboard --help does not list --version"

for args in "--verbose" "--port 70000" "--threads" "--bind not-an-address"; do
    # shellcheck disable=SC2086
    run "$table" $args
    expect 2 1 "barnblast-scoreboard $args"
    grep -q -- "${args%% *}" <<<"$err" || fail "barnblast-scoreboard $args does not name the option: $err"
done

# A busy port: the message says so and how to fix it, and no database file
# is made before the port is known to be ours.
mkdir "$work/first"
"$table" --port 0 --db "$work/first/scores.db" 2>"$work/first.log" &
server=$!
port=$(table_port "$work/first.log" "$server")
if [[ -z $port ]]; then
    fail "the first score table did not start: $(cat "$work/first.log")"
else
    run "$table" --port "$port" --db scores.db
    expect 1 1 "barnblast-scoreboard on a busy port"
    grep -q "already in use" <<<"$err" && grep -q -- "--port" <<<"$err" ||
        fail "busy port message: $err"
fi

# A database folder that does not exist, and one this user may not write.
run "$table" --port 0 --db missing/scores.db
expect 1 1 "barnblast-scoreboard with a missing database folder"
grep -q -- "--db" <<<"$err" || fail "missing folder message does not point to --db: $err"

mkdir -p "$work/locked" && chmod 555 "$work/locked"
drop=()
# Root writes anywhere: the check runs as nobody.
[[ $(id -u) -eq 0 ]] && drop=(setpriv --reuid=nobody --regid=nogroup --clear-groups) && chmod 777 "$work"
run "${drop[@]}" "$table" --port 0 --db "$work/locked/scores.db"
expect 1 1 "barnblast-scoreboard with an unwritable database folder"
[[ -z $(ls -A "$work/locked") ]] || fail "an unwritable folder got files: $(ls -A "$work/locked")"

# A file that is not a database is named, and left exactly as it was.
printf 'my notes\n' >"$work/notes.db"
run "$table" --port 0 --db "$work/notes.db"
expect 1 1 "barnblast-scoreboard with a file that is not a database"
[[ $(cat "$work/notes.db") == "my notes" ]] || fail "the file that is not a database was changed"
[[ ! -e $work/notes.db-wal && ! -e $work/notes.db-shm ]] || fail "files left beside notes.db"

if ((failures)); then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "command lines: all checks passed"
