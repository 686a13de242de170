#!/usr/bin/env bash
# Installs the Debian packages tools/make-media.sh needs. Only for rebuilding
# the sounds: the game plays the committed files in Media/ without them.
# Idempotent and non-interactive: apt runs only when something is missing.
set -euo pipefail

packages=(python3 sox libsox-fmt-mp3 lame festival festvox-us-slt-hts)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup-media-tools: installing ${missing[*]}" >&2
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
