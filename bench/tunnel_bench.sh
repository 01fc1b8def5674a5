#!/usr/bin/env bash
# tunnel_bench.sh: the secure tunnel (a clientside and a serverside kevra
# chained on loopback) next to a plain kevra relay and peer encrypted pipes.
#
# For each path: bulk throughput each way (client to server, then server to
# client) through client -> entry -> exit -> server; sequential connections
# per second (connect, one byte to the server and back, close, repeated for a
# few seconds) with the CPU time the path's processes spent per connection;
# and the time from connect until the first byte is back, one client at a
# time, as the median and the slowest of a series. For the tunnel a
# connection is the whole handshake (three key derivations on each side) up
# to the first relayed byte. Ports are chosen at run time, every process is
# stopped by its pid, every step has a time limit. The load generator is
# bench/relaytool.cpp, compiled here.
#
# Usage: bench/tunnel_bench.sh
# Environment: KEVRA (relay binary, default build/release/kevra),
#   KEVRA_BASE (optional second relay binary, say a build of an older commit:
#   its tunnel rows are measured in the same run, for a before and after),
#   BENCH_SECONDS (per run, default 3), BENCH_FIRSTBYTE (connections in the
#   first-byte series, default 40), BENCH_PIN=1 (each end of an encrypted
#   path on a CPU of its own, the entry on CPU 1 and the exit on CPU 0, as
#   if the two ends ran on two machines; without it the scheduler often
#   wakes both ends on one CPU, where their key derivations take turns).
# Optional peers: spiped, stunnel (rows skipped when not installed), openssl
# (to make stunnel's certificate).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
kevra=${KEVRA:-$root/build/release/kevra}
base=${KEVRA_BASE:-}
secs=${BENCH_SECONDS:-3}
firsts=${BENCH_FIRSTBYTE:-40}
pin=${BENCH_PIN:-0}
hz=$(getconf CLK_TCK)
limit=$((secs + 30))

srvpid=""
. "$root/bench/benchlib.sh"
trap 'stopall; [ -n "$srvpid" ] && stoppid "$srvpid"; rm -rf "$work"' EXIT


startserver

rows=()
row() { printf "%-24s %10s %10s %8s %12s %14s\n" "$@"; }

# measure(label, port, pids...): the figures of the path that enters at port;
# the pids are the path's processes, whose CPU time counts, stopped afterwards.
measure() {
  local label=$1 port=$2 upb up downb down line cps cpu c0=0 c1=0 first p
  shift 2
  for p in "$@"; do
    if ! waitready "$port" "$p"; then
      rows+=("$(row "$label" n/a n/a n/a n/a n/a)")
      echo "  $label: did not start" >&2
      for p in "$@"; do stoppid "$p"; done
      pids=()
      return
    fi
  done
  read -r upb up < <(timeout "$limit" "$tool" send "$port" "$secs")
  read -r downb down < <(timeout "$limit" "$tool" recv "$port" "$secs")
  up=$(awk -v b="${upb:-0}" -v t="${up:-0}" 'BEGIN { if (t > 0 && b > 0) printf "%.0f", b / t / 1e6; else print "fail" }')
  down=$(awk -v b="${downb:-0}" -v t="${down:-0}" 'BEGIN { if (t > 0 && b > 0) printf "%.0f", b / t / 1e6; else print "fail" }')
  for p in "$@"; do c0=$((c0 + $(cputicks "$p"))); done
  line=$(timeout "$limit" "$tool" connrate "$port" "$secs")
  for p in "$@"; do c1=$((c1 + $(cputicks "$p"))); done
  cps=$(echo "${line:-}" | awk '{ if ($2 > 0 && $1 > 0) printf "%.0f", $1 / $2; else print "fail" }')
  cpu=$(echo "${line:-}" | awk -v c="$((c1 - c0))" -v hz="$hz" \
    '{ if ($1 > 0) printf "%.2f", 1000 * c / hz / $1; else print "fail" }')
  first=$(timeout "$limit" "$tool" firstbyte "$port" "$firsts" | awk '{ printf "%s / %s", $1, $2 }')
  rows+=("$(row "$label" "$up" "$down" "${cps:-fail}" "${cpu:-fail}" "${first:-fail}")")
  for p in "$@"; do stoppid "$p"; done
  pids=()
}

# The prefixes that put a path's exit (on0) and entry (on1) on their CPUs;
# taskset runs the program in its own place, so the pid stays the program's.
on0=() on1=()
if [ "$pin" = 1 ]; then on0=(taskset -c 0) on1=(taskset -c 1); fi

# tunnel(label, relay, cipher, extra options): clientside -> serverside -> server.
tunnel() {
  local label=$1 relay=$2 cipher=$3 opts=$4 sp cp spid
  sp=$("$tool" freeport)
  cp=$("$tool" freeport)
  printf 'TUNNEL OPTIONS ENCRTYPE %s %s\nTUNNEL SERVERSIDE USERNAME bench SECRET benchsecret\n' \
    "$cipher" "$opts" >"$work/s.txt"
  printf 'TUNNEL OPTIONS ENCRTYPE %s %s\nTUNNEL CLIENTSIDE USERNAME bench SECRET benchsecret\n' \
    "$cipher" "$opts" >"$work/c.txt"
  start "$work/s.log" "${on0[@]}" "$relay" -f="$work/s.txt" "$sp" 127.0.0.1 "$sport"
  spid=$started
  start "$work/c.log" "${on1[@]}" "$relay" -f="$work/c.txt" "$cp" 127.0.0.1 "$sp"
  measure "$label" "$cp" "$spid" "$started"
  grep -q "secure tunnel established" "$work/c.log" || echo "  $label: no tunnel was established" >&2
}

echo "tunnel_bench: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $(nproc) CPUs, $(uname -sr)"
echo "  cpu: $(cpumodel); load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo "  kevra: $kevra ($(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?'))"
[ -n "$base" ] && echo "  base:  $base"
[ "$pin" = 1 ] && echo "  ends pinned: entry on CPU 1, exit on CPU 0 (BENCH_PIN=1)"
echo "  ${secs} s per bulk and connection run; CPU ms/conn: all of the path's processes"
echo "  during the connection run; 1st byte: connect until the byte is back, median / max of $firsts"
echo

if [ -x "$kevra" ]; then
  lp=$("$tool" freeport)
  start "$work/plain.log" "$kevra" "$lp" 127.0.0.1 "$sport"
  measure "kevra plain relay" "$lp" "$started"
  tunnel "kevra tunnel RC4" "$kevra" RC4 ""
  tunnel "kevra tunnel 3DES" "$kevra" DES3 ""
else
  echo "  no relay binary at $kevra: its rows are skipped" >&2
fi
if [ -n "$base" ]; then
  if [ -x "$base" ]; then
    tunnel "base tunnel RC4" "$base" RC4 ""
    tunnel "base tunnel 3DES" "$base" DES3 ""
  else
    echo "  no relay binary at $base: its rows are skipped" >&2
  fi
fi

if command -v spiped >/dev/null; then
  head -c 32 /dev/urandom >"$work/spiped.key"
  ep=$("$tool" freeport)
  dp=$("$tool" freeport)
  start "$work/spd.log" "${on0[@]}" spiped -F -d -s "[127.0.0.1]:$dp" -t "[127.0.0.1]:$sport" -k "$work/spiped.key"
  dpid=$started
  start "$work/spe.log" "${on1[@]}" spiped -F -e -s "[127.0.0.1]:$ep" -t "[127.0.0.1]:$dp" -k "$work/spiped.key"
  measure "spiped pair" "$ep" "$dpid" "$started"
else
  echo "  spiped is not installed: its row is skipped" >&2
fi

if command -v stunnel >/dev/null && command -v openssl >/dev/null; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
    -keyout "$work/st.key" -out "$work/st.crt" >/dev/null 2>&1
  ep=$("$tool" freeport)
  dp=$("$tool" freeport)
  printf 'foreground = yes\npid =\n[s]\naccept = 127.0.0.1:%s\nconnect = 127.0.0.1:%s\ncert = %s\nkey = %s\n' \
    "$dp" "$sport" "$work/st.crt" "$work/st.key" >"$work/sts.conf"
  printf 'foreground = yes\npid =\n[c]\nclient = yes\naccept = 127.0.0.1:%s\nconnect = 127.0.0.1:%s\n' \
    "$ep" "$dp" >"$work/stc.conf"
  start "$work/sts.log" "${on0[@]}" stunnel "$work/sts.conf"
  dpid=$started
  start "$work/stc.log" "${on1[@]}" stunnel "$work/stc.conf"
  measure "stunnel pair (TLS)" "$ep" "$dpid" "$started"
else
  echo "  stunnel is not installed: its row is skipped" >&2
fi

row "path" "c->s MB/s" "s->c MB/s" "conn/s" "CPU ms/conn" "1st byte ms"
printf "%s\n" "${rows[@]}"
