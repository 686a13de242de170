#!/usr/bin/env bash
# The Debian packages as a player and an operator get them: builds both,
# checks them with lintian and the unit with systemd-analyze, installs them,
# plays the installed game from an unrelated folder (sounds found, nothing
# dropped in that folder, the name kept in the per-user folder), runs the
# installed score table with its unit's command line and posts to it with
# curl, then removes and purges both and checks that nothing is left.
#
# Usage: tests/package/run.sh [--quick]
#   --quick  skips the full two-minute round that sends a score; the rest
#            takes well under a minute once the packages are built.
# Needs root (dpkg -i), or sudo.
set -euo pipefail
cd "$(dirname "$0")/../.."
here=$PWD/tests/package
quick=false
[[ ${1:-} == --quick ]] && quick=true
sudo=""
[[ $(id -u) -ne 0 ]] && sudo=sudo

step() { echo "== package: $* ($(date +%T))"; }
fail() {
    echo "package: FAIL: $*" >&2
    exit 1
}

work=$(mktemp -d)
table=""
installed=false
# A failed run leaves no table running and no package installed.
cleanup() {
    if [[ -n $table ]]; then kill "$table" 2>/dev/null || true; fi
    if $installed; then $sudo dpkg -P barnblast barnblast-scoreboard >/dev/null 2>&1 || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"

step "build the packages"
bash scripts/package.sh >/dev/null
game_deb=$(ls build/packages/barnblast_*.deb)
table_deb=$(ls build/packages/barnblast-scoreboard_*.deb)
ls -l "$game_deb" "$table_deb"

step "dependencies"
# libcurl and eSpeak NG are opened at run time, out of dpkg-shlibdeps' sight.
depends=$(dpkg-deb -f "$game_deb" Depends)
for lib in libcurl4 libespeak-ng1 libopenal1 libsdl2-2.0-0 libsndfile1; do
    [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] || fail "barnblast does not depend on $lib: $depends"
done

step "lintian"
# Errors fail the test; warnings and notes are shown.
lintian --fail-on error --tag-display-limit 0 "$game_deb" "$table_deb" || fail "lintian reports errors"

step "install"
$sudo dpkg -P barnblast barnblast-scoreboard >/dev/null 2>&1 || true
installed=true
$sudo dpkg -i "$game_deb" "$table_deb" >/dev/null
unit=/lib/systemd/system/barnblast-scoreboard.service
for f in /usr/games/barnblast /usr/bin/barnblast-scoreboard /usr/share/barnblast/Chicken.wav \
    /usr/share/barnblast/Background.mp3 /usr/share/man/man6/barnblast.6.gz \
    /usr/share/man/man8/barnblast-scoreboard.8.gz /usr/share/doc/barnblast/copyright \
    /usr/share/doc/barnblast-scoreboard/copyright "$unit"; do
    [[ -e $f ]] || fail "$f is not installed"
done
version=$(sed -n 's/^project(Barnblast VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ $(/usr/games/barnblast --version) == "barnblast $version" ]] || fail "barnblast --version"
[[ $(/usr/bin/barnblast-scoreboard --version) == "barnblast-scoreboard $version" ]] ||
    fail "barnblast-scoreboard --version"

if command -v systemd-analyze >/dev/null; then
    step "the unit's exposure"
    systemd-analyze security --offline=true "$unit" >"$work/security.txt" 2>&1 || true
    exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p' "$work/security.txt")
    echo "systemd-analyze security: $exposure"
    [[ -n $exposure ]] || fail "systemd-analyze gave no rating: $(cat "$work/security.txt")"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "the unit's exposure is $exposure, above 2.0"
fi

step "the installed table, started with the unit's command line"
command=$(sed -n 's/^ExecStart=//p' "$unit")
state=$work/state
mkdir "$state"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# The unit's state folder, /var/lib/barnblast-scoreboard, here in a scratch
# one, named in a copy of the installed settings.
[[ -f /etc/barnblast-scoreboard.conf ]] || fail "no /etc/barnblast-scoreboard.conf"
dpkg-query -W -f='${Conffiles}' barnblast-scoreboard | grep -q /etc/barnblast-scoreboard.conf ||
    fail "/etc/barnblast-scoreboard.conf is not a conffile"
sed "s|/var/lib/barnblast-scoreboard|$state|" /etc/barnblast-scoreboard.conf >"$work/scoreboard.conf"
chmod 644 "$work/scoreboard.conf"
read -ra argv <<<"${command//\/etc\/barnblast-scoreboard.conf/$work/scoreboard.conf}"
# As an unprivileged user, like the unit's dynamic one.
drop=()
if [[ $(id -u) -eq 0 ]]; then
    chown nobody:nogroup "$state"
    drop=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
"${drop[@]}" "${argv[@]}" --port "$port" 2>"$work/table.log" &
table=$!
for _ in $(seq 100); do
    grep -q "listening on" "$work/table.log" && break
    sleep 0.1
done
grep -q "listening on http://127.0.0.1:$port with database $state/scoreboard.db" "$work/table.log" ||
    fail "the table did not start: $(cat "$work/table.log")"
id=$(python3 -c 'import uuid; print(uuid.uuid4())')
status=$(curl -s -o "$work/post.json" -w '%{http_code}' -H 'Content-Type: application/json' \
    -d '{"game":"Barnblast V2","score":35,"name":"Curl","id":"'"$id"'"}' "http://127.0.0.1:$port/api/scores")
[[ $status == 201 ]] || fail "posting a score answered $status: $(cat "$work/post.json")"
curl -sf "http://127.0.0.1:$port/api/scores?game=Barnblast%20V2" | grep -q '"name":"Curl"' ||
    fail "the posted score is not in the table"

step "the installed game from an unrelated folder"
mkdir "$work/player" "$work/home"
play() { # capture file, then the keys on standard input
    (cd "$work/player" && env -u XDG_DATA_HOME -u BARNBLAST_DATA HOME="$work/home" SDL_AUDIODRIVER=dummy \
        BARNBLAST_CAPTURE="$1" BARNBLAST_OUTBOX="$work/outbox" BARNBLAST_SCORE_SITE="127.0.0.1:$port" \
        timeout 200 /usr/games/barnblast >"$work/game.out" 2>"$work/game.err")
}
# Four seconds of the round, then standard input ends, which ends the game.
sleep 4 | play "$work/short.wav" || fail "the game exited with status $?: $(cat "$work/game.err")"
! grep -q "cannot open" "$work/game.err" || fail "the game did not find its sounds: $(cat "$work/game.err")"
[[ -z $(ls -A "$work/player") ]] || fail "the game left $(ls -A "$work/player") in the working folder"
[[ -d $work/home/.local/share/barnblast ]] || fail "no per-user folder for the name file"
levels=$(python3 "$here/CaptureLevels.py" "$work/short.wav")
echo "capture: $levels"
read -r _ cluck _ music _ seconds <<<"$levels"
# Measured: the cluck alone 0.0066 and 0 of side; the music alone 0.0005 and
# 0.0166 of side.
awk -v c="$cluck" -v m="$music" -v s="$seconds" 'BEGIN { exit !(s >= 2 && c > 0.002 && m > 0.004) }' ||
    fail "the capture does not hold both the cluck and the music: $levels"

if ! $quick; then
    step "a full round from an unrelated folder, score sent (about 2 minutes)"
    {
        sleep 124
        printf x # the first key after time is up ends the round
        sleep 3
        printf y # send the score
        sleep 2
        printf 'Package Tester\n'
        sleep 2
        printf n # no more rounds
        sleep 1
    } | play "$work/full.wav" || fail "the full round exited with status $?: $(cat "$work/game.err")"
    [[ -z $(ls -A "$work/player") ]] || fail "the round left $(ls -A "$work/player") in the working folder"
    [[ $(cat "$work/home/.local/share/barnblast/name.dat") == "Package Tester" ]] ||
        fail "the name is not in the per-user folder"
    for _ in $(seq 50); do
        curl -sf "http://127.0.0.1:$port/api/scores?game=Barnblast%20V2" | grep -q '"name":"Package Tester"' && break
        sleep 0.2
    done
    curl -sf "http://127.0.0.1:$port/api/scores?game=Barnblast%20V2" | grep -q '"name":"Package Tester"' ||
        fail "the round's score did not reach the table"
fi

kill "$table"
wait "$table" || true
table=""

step "remove, then purge"
# What the unit's StateDirectory would hold, to see that purge takes it.
$sudo mkdir -p /var/lib/private/barnblast-scoreboard
$sudo ln -sfn private/barnblast-scoreboard /var/lib/barnblast-scoreboard
$sudo dpkg -r barnblast barnblast-scoreboard >/dev/null
for f in /usr/games/barnblast /usr/bin/barnblast-scoreboard /usr/share/barnblast "$unit"; do
    [[ ! -e $f ]] || fail "$f is still there after dpkg -r"
done
[[ -d /var/lib/private/barnblast-scoreboard ]] || fail "dpkg -r took the scores; only purge should"
# A package without conffiles or postrm is gone with dpkg -r already.
for p in barnblast barnblast-scoreboard; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q config-files; then $sudo dpkg -P "$p" >/dev/null; fi
done
for p in barnblast barnblast-scoreboard; do
    ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -qv "not-installed" || fail "$p is still known to dpkg"
done
installed=false
left=$(ls -d /usr/share/doc/barnblast* /usr/share/barnblast /var/lib/barnblast-scoreboard /etc/barnblast-scoreboard.conf \
    /var/lib/private/barnblast-scoreboard /usr/share/man/man6/barnblast.6.gz 2>/dev/null || true)
[[ -z $left ]] || fail "left after purge: $left"
step "done"
