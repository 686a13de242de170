# shellcheck shell=bash
# Sourced by the scripts that install Debian packages (scripts/setup.sh,
# scripts/windows.sh, tools/setup-media-tools.sh, bench/startup/run.sh).
#
# install_packages PKG...: installs those of PKG that are not installed yet,
# without questions (it also runs with no standard input, as in CI), through
# sudo only when not root. Does nothing, and asks apt nothing, when all are
# there; otherwise refreshes apt's lists first. apt's own output goes to
# standard error.
install_packages() {
  local package missing=() sudo=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  echo "$0: installing ${missing[*]}" >&2
  ((EUID == 0)) || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq >&2
  # Through env: sudo would drop a variable set before it.
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
