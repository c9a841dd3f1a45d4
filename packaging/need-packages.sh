#!/bin/sh
# Makes sure the Debian packages of the named sections of packaging/packages.txt are installed.
# As root the missing ones are installed with apt-get; otherwise the exact apt-get line is
# printed and the script fails, so `make` stops before a build that cannot work.
# Usage: packaging/need-packages.sh SECTION...   (build, test, package, ci)
set -eu
list="$(dirname "$0")/packages.txt"
want=""
for section in "$@"; do
    want="$want $(awk -v s="[$section]" '/^\[/ { on = ($0 == s); next } on && NF && !/^#/ { print $1 }' "$list" | tr '\n' ' ')"
done
if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "need-packages: not a Debian system; make sure these are installed:$want" >&2
    exit 0
fi
missing=""
for p in $want; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^ii' || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages:$missing" >&2
    echo "Install them with:  sudo apt-get install -y$missing" >&2
    exit 1
fi
echo "Installing the missing Debian packages:$missing"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may have no package lists yet, so a failed install is tried once more after
# an update.
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing ||
    { apt-get update -q && apt-get install -y -q --no-install-recommends $missing; }
