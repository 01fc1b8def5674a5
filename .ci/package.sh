#!/usr/bin/env bash
# CI, package stage: build the Debian package and check it the way an
# operator meets it: lintian without an error or a warning, the unit verified
# and rated at most 3.0 by systemd-analyze, then installed (the user kevra,
# /etc/kevra root:kevra 0750, the unit in place) and purged again. Installing
# needs root; the machine is left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."

bash .ci/deps.sh ci
export CI=true
make package
deb=$(ls build/package/kevra_*_amd64.deb)

# Informational and pedantic tags are printed; errors and warnings fail.
tags=$(lintian -I --pedantic "$deb" 2>/dev/null || true)
[ -n "$tags" ] && echo "$tags"
if echo "$tags" | grep -q '^[EW]: '; then echo "lintian: errors or warnings in $deb" >&2; exit 1; fi
echo "lintian: no errors or warnings"

fail() { echo "package: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "installing the package needs root"
# The package keeps its user on purge, as system users are kept; this check
# removes it again when it made it, so that the next run sees it created.
hadkevra=no
getent passwd kevra >/dev/null && hadkevra=yes && echo "package: the user kevra exists already"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "./$deb" >/dev/null
cleanup() {
  apt-get purge -y -qq kevra >/dev/null 2>&1 || true
  if [ $hadkevra = no ]; then userdel kevra 2>/dev/null || true; groupdel kevra 2>/dev/null || true; fi
}
trap cleanup EXIT

getent passwd kevra || fail "no user kevra after the install"
[ "$(stat -c '%U:%G %a' /etc/kevra)" = "root:kevra 750" ] || fail "/etc/kevra is $(stat -c '%U:%G %a' /etc/kevra)"
unit=/lib/systemd/system/kevra@.service
if [ -d /run/systemd/system ]; then systemctl cat kevra@.service >/dev/null; else [ -f $unit ]; fi \
  || fail "no kevra@.service"

# verify says nothing about a sound unit; security rates what the sandbox
# leaves open, from 0 (nothing) to 10.
out=$(systemd-analyze verify $unit 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"
rating=$(systemd-analyze security --offline=yes $unit 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
echo "systemd-analyze security --offline=yes: $rating"
[ -n "$rating" ] && awk -v r="$rating" 'BEGIN { exit !(r <= 3.0) }' || fail "exposure ${rating:-unknown} above 3.0"

# Purge: the state and /etc/kevra go, the user stays.
apt-get purge -y -qq kevra >/dev/null
getent passwd kevra >/dev/null || fail "the user kevra went with the purge"
cleanup
trap - EXIT
[ ! -e /etc/kevra ] || fail "/etc/kevra left after purge"
[ ! -e /usr/bin/kevra ] || fail "/usr/bin/kevra left after purge"
echo "package: installed, checked and purged"
