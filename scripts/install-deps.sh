#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet.
# Needs root (or sudo) only when something is missing.
missing=""
for package in "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "installing with apt-get:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null && $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
