#!/bin/sh
# Installs the Debian packages the build needs when they are missing: with
# apt-get when run as root, otherwise it prints the command to run.
set -e
missing=""
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq $missing
else
  echo "missing system packages:$missing" >&2
  echo "install them with: sudo apt-get install -y$missing" >&2
  exit 1
fi
