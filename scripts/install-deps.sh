#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet.
# Needs root (or sudo) only when something is missing.
# A name without an architecture means this machine's (or "all"): musl-dev
# for arm64 alone doesn't stand in for the native one.
missing=""
native=$(dpkg --print-architecture)
for package in "$@"; do
  case $package in
    *:*) arches='[^ ]+' ;;
    *) arches="$native|all" ;;
  esac
  dpkg-query -W -f='${Status} ${Architecture}\n' "$package" 2>/dev/null |
    grep -Eqx "install ok installed ($arches)" || missing="$missing $package"
done
[ -z "$missing" ] && exit 0
echo "installing with apt-get:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# A package list that can't be fetched (a mirror in the middle of a sync, say)
# fails nothing by itself: apt-get install names what the lists that did
# arrive can't give.
$sudo apt-get update -qq >/dev/null || $sudo apt-get update -qq >/dev/null ||
  echo "$0: going on with the package lists there are" >&2
$sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
