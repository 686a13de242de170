#!/usr/bin/env bash
# Installs the Debian packages tools/make-media.sh needs. Only for rebuilding
# the sounds: the game plays the committed files in Media/ without them.
# Idempotent and non-interactive: apt runs only when something is missing.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/packages.sh"

packages=(python3 sox libsox-fmt-mp3 lame festival festvox-us-slt-hts)

install_packages "${packages[@]}"
