#!/usr/bin/env bash
# Builds and runs the start-up and memory benchmark; installs its peers
# (sox's play, aplay, SDL_mixer) first. Usage: bash bench/startup/run.sh [turns]
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/packages.sh
install_packages sox libsox-fmt-alsa alsa-utils libsdl2-mixer-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target bench_startup bench_startup_probe bench_mixer_peer -j "$(nproc)" >/dev/null
build/bench/startup/bench_startup build/bench/startup/bench_startup_probe build/bench/startup/bench_mixer_peer . "${1:-7}"
