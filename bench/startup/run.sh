#!/usr/bin/env bash
# Builds and runs the start-up and memory benchmark; installs its peers
# (sox's play, aplay, SDL_mixer) first. Usage: bash bench/startup/run.sh [turns]
set -euo pipefail
cd "$(dirname "$0")/../.."
need=()
for p in sox libsox-fmt-alsa alsa-utils libsdl2-mixer-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  sudo=""; [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >&2
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target bench_startup bench_startup_probe bench_mixer_peer -j "$(nproc)" >/dev/null
build/bench/startup/bench_startup build/bench/startup/bench_startup_probe build/bench/startup/bench_mixer_peer . "${1:-7}"
