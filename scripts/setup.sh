#!/usr/bin/env bash
# Installs the Debian packages the game needs to build and play; with
# --tests, also what its tests and checks need.
# Idempotent and non-interactive: apt runs only when something is missing.
set -euo pipefail
source "$(dirname "$0")/lib/packages.sh"

packages=(
  build-essential cmake pkg-config
  libopenal-dev libsdl2-dev libsndfile1-dev libmpg123-dev libespeak-ng-dev espeak-ng-data
  libcurl4-openssl-dev libspeechd-dev
  libboost1.81-dev libboost-json1.81-dev libsqlite3-dev libpq-dev zlib1g-dev
  # The score table's metrics, in the Prometheus text format (its core only).
  prometheus-cpp-dev
)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(libgtest-dev sqlite3)
  # The score table's suites also run against a real PostgreSQL, started by
  # the tests themselves.
  packages+=(postgresql)
  # A real Prometheus scrapes the table's metrics (promtool checks their
  # text), and a real nginx stands in front of it as a reverse proxy.
  packages+=(prometheus nginx)
  # Checks: layout, lint, sanitizers and fuzzing with clang's runtime.
  packages+=(clang clang-format clang-tidy libclang-rt-14-dev)
  # The package test: lintian, systemd-analyze (offline), python3 for the
  # capture check.
  packages+=(lintian systemd python3)
  # Tests also drive a real browser and a load generator.
  packages+=(chromium wrk curl)
  # The sound is also heard through a real PulseAudio daemon the tests start
  # (a null sink recorded from its monitor); the output benchmark compares
  # the game with an SDL_mixer program.
  packages+=(pulseaudio pulseaudio-utils libsdl2-mixer-dev)
  # Speech through a screen reader is tested against a real speech-dispatcher
  # and its eSpeak NG module.
  packages+=(speech-dispatcher speech-dispatcher-espeak-ng)
  # The audio thread's priority asked over a private system bus, of a
  # stand-in for the system's real-time service.
  packages+=(dbus-daemon libsystemd-dev)
  # A machine may already have Node.js from elsewhere, whose nodejs package
  # conflicts with Debian's npm: take Debian's only when there is none.
  command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
fi

install_packages "${packages[@]}"
