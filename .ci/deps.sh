#!/usr/bin/env bash
# Installs the packages of .ci/packages this machine lacks: the plain lines,
# and with the argument "ci" those marked ci too. As root it runs apt-get;
# otherwise it stops with the one line to run.
set -euo pipefail
cd "$(dirname "$0")"
command -v dpkg-query >/dev/null || exit 0   # not Debian: the packages are up to you
missing=()
for p in $(sed 's/#.*//' packages | awk -v ci="${1:-}" 'NF == 1 || (NF == 2 && $1 == ci) { print $NF }'); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "kevra needs packages this machine lacks; as root, run:" >&2
  echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
