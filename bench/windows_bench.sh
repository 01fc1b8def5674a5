#!/usr/bin/env bash
# windows_bench.sh: kevra.exe under Wine beside the Linux kevra, on loopback:
# bulk throughput each way through a plain relay and through an RC4 tunnel
# (a clientside and a serverside relay of the same build). A rough figure of
# what Wine costs, not of Windows itself. Ports are chosen at run time, every
# process is stopped by its pid, every step has a time limit; the load
# generator is bench/relaytool.cpp, compiled here.
#
# Usage: bench/windows_bench.sh     (after make windows and make)
# Environment: KEVRA (Linux relay, default build/release/kevra), KEVRA_EXE
#   (default build/windows/kevra.exe), BENCH_SECONDS (per run, default 3),
#   WINEPREFIX (default build/windows/wine).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
linux=${KEVRA:-$root/build/release/kevra}
winexe=${KEVRA_EXE:-$root/build/windows/kevra.exe}
secs=${BENCH_SECONDS:-3}
limit=$((secs + 30))

. "$root/bench/benchlib.sh"
. "$root/tests/windows/winelib.sh"
trap 'stopall; [ -n "$srvpid" ] && stoppid "$srvpid"; stopwine; rm -rf "$work"' EXIT
srvpid=""

startserver
startwine || exit 1

rows=()
row() { printf "%-34s %11s %11s\n" "$@"; }

# measure(label, port, pids...): throughput each way into the path at port.
measure() {
  local label=$1 port=$2 upb up downb down p
  shift 2
  for p in "$@"; do
    waitready "$port" "$p" || { rows+=("$(row "$label" n/a n/a)"); stopall; return; }
  done
  read -r upb up < <(timeout "$limit" "$tool" send "$port" "$secs")
  read -r downb down < <(timeout "$limit" "$tool" recv "$port" "$secs")
  up=$(awk -v b="${upb:-0}" -v t="${up:-0}" 'BEGIN { if (t > 0 && b > 0) printf "%.1f", b / t / 1e6; else print "fail" }')
  down=$(awk -v b="${downb:-0}" -v t="${down:-0}" 'BEGIN { if (t > 0 && b > 0) printf "%.1f", b / t / 1e6; else print "fail" }')
  rows+=("$(row "$label" "$up" "$down")")
  stopall
}

# paths(name, command...): the plain relay and the RC4 tunnel of one build.
paths() {
  local name=$1 lp sp cp spid
  shift
  lp=$("$tool" freeport)
  start "$work/plain.log" "$@" "$lp" 127.0.0.1 "$sport"
  measure "$name plain relay" "$lp" "$started"
  printf 'TUNNEL OPTIONS ENCRTYPE RC4\nTUNNEL SERVERSIDE USERNAME bench SECRET benchsecret\n' >"$work/s.txt"
  printf 'TUNNEL OPTIONS ENCRTYPE RC4\nTUNNEL CLIENTSIDE USERNAME bench SECRET benchsecret\n' >"$work/c.txt"
  sp=$("$tool" freeport)
  cp=$("$tool" freeport)
  start "$work/s.log" "$@" -f="$work/s.txt" "$sp" 127.0.0.1 "$sport"
  spid=$started
  start "$work/c.log" "$@" -f="$work/c.txt" "$cp" 127.0.0.1 "$sp"
  measure "$name RC4 tunnel" "$cp" "$spid" "$started"
  if ! grep -q "secure tunnel established" "$work/c.log"; then
    echo "  $name: no tunnel was established; the logs end:" >&2
    tail -n 5 "$work/c.log" "$work/s.log" >&2
  fi
}

echo "windows_bench: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $(nproc) CPUs, $(uname -sr), $("$wineloader" --version 2>/dev/null)"
echo "  cpu: $(cpumodel)"
echo "  ${secs} s per run; MB/s from the client's side"
echo
KEVRA_STATEDIR=$work paths "Linux kevra" "$linux"
paths "kevra.exe under Wine" "$wine" "$winexe"
row "path" "c->s MB/s" "s->c MB/s"
printf "%s\n" "${rows[@]}"
