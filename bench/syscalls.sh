#!/usr/bin/env bash
# syscalls.sh: the system calls a plain kevra relay makes, counted by
# `strace -c -f`: per short connection (connect, one byte there and back,
# close) and per 8 KB of bulk data each way. Each figure is the difference
# between two runs that differ only in the work done (1 and 101 connections;
# 0.5 and 1.5 seconds of bulk), so start-up and the stop drop out.
#
# Usage: bench/syscalls.sh [kevra binary]   (default build/release/kevra);
#   KEVRA_OLD=<another binary> adds its columns beside, for a before and after.
# Needs: strace. Counts do not depend on the machine's load; times would, and
# are not shown.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
kevra=${1:-$root/build/release/kevra}
old=${KEVRA_OLD:-}
bash "$root/.ci/deps.sh" bench || exit 1
. "$root/bench/benchlib.sh"

startserver
pids+=("$srvpid")

# counts(binary, out, client command...): strace -c of a relay while the
# client runs once against it; "name calls" lines in out, what the client
# printed in out.client.
counts() {
  local bin=$1 out=$2 port spid
  shift 2
  port=$("$tool" freeport)
  start "$work/relay.log" strace -c -f -o "$work/strace.txt" "$bin" "$port" 127.0.0.1 "$sport"
  spid=$started
  if waitready "$port" "$spid"; then
    "$@" "$port" >"$out.client"   # relaytool bounds every wait itself
  else
    echo "relay did not start: $(head -3 "$work/relay.log")" >&2
  fi
  # strace passes the stop signal on and writes its table once the relay ends.
  stoppid "$spid"
  awk 'NF >= 5 && $NF ~ /^[a-z_0-9]+$/ && $NF != "total" && $1 ~ /^[0-9.]+$/ {
         print $NF, (NF == 6 ? $4 : $4) }' "$work/strace.txt" | sort >"$out"
}
# minus(a, b, per): (b - a) / per for every call, one "name value" line each.
minus() {
  join -a1 -a2 -e 0 -o 0,1.2,2.2 "$1" "$2" |
    awk -v per="$3" '{ d = ($3 - $2) / per; if (d >= 0.05) printf "%s %.2f\n", $1, d }'
}
# bytes(file): the bytes the client's runs moved ("bytes seconds" lines).
bytes() { awk '{ b += $1 } END { print b + 0 }' "$1"; }

# One byte there and back per connection, 20 ms apart (firstbyte), so the
# relay is idle between two connections as with real clients.
conns() { "$tool" firstbyte "$2" "$1"; }
bulk() { "$tool" send "$2" "$1"; "$tool" recv "$2" "$1"; }

# profile(binary, tag): tag.conn (calls per connection), tag.bulk (per 8 KB).
profile() {
  local bin=$1 tag=$2 chunks
  counts "$bin" "$work/$tag.c1" conns 1
  counts "$bin" "$work/$tag.c101" conns 101
  minus "$work/$tag.c1" "$work/$tag.c101" 100 >"$work/$tag.conn"
  counts "$bin" "$work/$tag.b1" bulk 0.5
  counts "$bin" "$work/$tag.b2" bulk 1.5
  chunks=$(awk -v a="$(bytes "$work/$tag.b1.client")" -v b="$(bytes "$work/$tag.b2.client")" \
    'BEGIN { print (b - a) / 8192 }')
  minus "$work/$tag.b1" "$work/$tag.b2" "$chunks" >"$work/$tag.bulk"
}

# table(title, file suffix): the calls side by side, old first when given.
table() {
  echo "$1"
  if [ -n "$old" ]; then
    join -a1 -a2 -e 0 -o 0,1.2,2.2 "$work/old.$2" "$work/new.$2" |
      awk 'BEGIN { printf "  %-16s %8s %8s\n", "call", "old", "new" }
           { printf "  %-16s %8s %8s\n", $1, $2, $3; o += $2; n += $3 }
           END { printf "  %-16s %8.2f %8.2f\n", "all", o, n }'
  else
    awk 'BEGIN { printf "  %-16s %8s\n", "call", "kevra" }
         { printf "  %-16s %8s\n", $1, $2; n += $2 } END { printf "  %-16s %8.2f\n", "all", n }' \
      "$work/new.$2"
  fi
}

echo "syscalls: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $(cpumodel), $(uname -sr)"
echo "  kevra: $kevra"
[ -n "$old" ] && echo "  old:   $old"
profile "$kevra" new
[ -n "$old" ] && profile "$old" old
table "System calls per short connection (connect, one byte there and back, close):" conn
table "System calls per 8 KB relayed (bulk, both ways, default buffer):" bulk
