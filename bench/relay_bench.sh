#!/usr/bin/env bash
# relay_bench.sh: kevra against socat and a direct connection, on loopback.
#
# For each path it measures bulk throughput each way (client to server, then
# server to client), the CPU seconds the relay process spends per GB moved,
# the round-trip time of small messages with client, server and relay pinned
# to CPU 0, and sequential connections per second (connect, one byte there and
# back, close). Ports are chosen at run time, every process is stopped by its
# pid, every step has a time limit. The load generator is bench/relaytool.cpp,
# compiled here.
#
# Usage: bench/relay_bench.sh
# Environment: KEVRA (relay binary, default the newer of build/bench/kevra
#   and build/release/kevra),
#   BENCH_SECONDS (per throughput and connection run, default 3),
#   BENCH_REPEAT (throughput runs per direction, the best is shown; default 1),
#   BENCH_ROUNDTRIPS (default 2000), BENCH_MSGSIZE (bytes, default 64).
# Needs: g++, socat, taskset; iperf3 for its direct row (skipped without it).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
# The relay: $KEVRA, else the newer of the bench and release builds.
kevra=${KEVRA:-}
if [ -z "$kevra" ]; then
  kevra=$root/build/release/kevra
  [ "$root/build/bench/kevra" -nt "$kevra" ] && kevra=$root/build/bench/kevra
fi
secs=${BENCH_SECONDS:-3}
rtts=${BENCH_ROUNDTRIPS:-2000}
msgsize=${BENCH_MSGSIZE:-64}
reps=${BENCH_REPEAT:-1}
hz=$(getconf CLK_TCK)
ncpu=$(nproc)
limit=$((secs + 30))   # seconds any one client run may take

. "$root/bench/benchlib.sh"

# pin(cpus, pid...): move every thread of each process to the cpus.
pin() {
  local cpus=$1 p
  shift
  for p in "$@"; do taskset -a -p -c "$cpus" "$p" >/dev/null 2>&1; done
}


startserver
pids+=("$srvpid")

# rate(best, bytes, seconds): the better of best and bytes/seconds in MB/s;
# "fail" once any run failed.
rate() {
  awk -v best="$1" -v b="$2" -v t="$3" 'BEGIN {
    if (best == "fail" || t <= 0 || b <= 0) { print "fail"; exit }
    r = b / t / 1e6
    printf "%.0f", (best != "" && best + 0 > r) ? best : r
  }'
}

rows=()
# row(columns...): one line of the result table.
row() {
  printf "%-26s %11s %11s %10s %10s %10s %9s\n" "$@"
}

# measure(label, relay command with @LPORT@ and @SPORT@ or empty for direct)
measure() {
  local label=$1 cmd=$2 port=$sport relpid="" c0 c1 up down moved b t
  local rtt cps cpu="-" line
  if [ -n "$cmd" ]; then
    port=$("$tool" freeport)
    cmd=${cmd//@LPORT@/$port}
    cmd=${cmd//@SPORT@/$sport}
    # shellcheck disable=SC2086  # the command is a word list on purpose
    $cmd >"$work/relay.log" 2>&1 &
    relpid=$!
    pids+=("$relpid")
    if ! waitready "$port" "$relpid"; then
      rows+=("$(row "$label" "n/a" "n/a" "n/a" "n/a" "n/a" "n/a")")
      echo "  $label: relay did not start; its output:" >&2
      head -5 "$work/relay.log" >&2
      stoppid "$relpid"
      pids=("$srvpid")
      return
    fi
    c0=$(cputicks "$relpid")
  fi

  # Bulk each way, the best of $reps runs; bytes and seconds as the
  # receiving end saw them. One failed run fails the column.
  up="" down="" moved=0
  for _ in $(seq "$reps"); do
    read -r b t < <(timeout "$limit" "$tool" send "$port" "$secs")
    up=$(rate "$up" "${b:-0}" "${t:-0}")
    moved=$((moved + ${b:-0}))
    read -r b t < <(timeout "$limit" "$tool" recv "$port" "$secs")
    down=$(rate "$down" "${b:-0}" "${t:-0}")
    moved=$((moved + ${b:-0}))
  done
  if [ -n "$relpid" ]; then
    sleep 0.3   # let a forking relay reap its children so their time counts
    c1=$(cputicks "$relpid")
    cpu=$(awk -v c="$((c1 - c0))" -v hz="$hz" -v b="$moved" \
      'BEGIN { if (b > 0) printf "%.2f", c / hz / (b / 1e9); else print "-" }')
  fi

  # Small round trips, everything on CPU 0.
  pin 0 "$srvpid" $relpid
  line=$(timeout "$limit" taskset -c 0 "$tool" pingpong "$port" "$rtts" "$msgsize")
  pin "0-$((ncpu - 1))" "$srvpid" $relpid
  read -ra rtt <<<"${line:-fail fail}"

  # Connections per second.
  line=$(timeout "$limit" "$tool" connrate "$port" "$secs")
  cps=$(echo "${line:-}" | awk '{ if ($2 > 0) printf "%.0f", $1 / $2; else print "fail" }')
  [ -n "$cps" ] || cps=fail

  rows+=("$(row "$label" "$up" "$down" "$cpu" "${rtt[0]}" "${rtt[1]}" "$cps")")
  if [ -n "$relpid" ]; then
    stoppid "$relpid"
    pids=("$srvpid")
  fi
}

# iperf3row: direct throughput as iperf3 measures it (its own server, own port).
iperf3row() {
  local port ip up down
  port=$("$tool" freeport)
  iperf3 -s -p "$port" >"$work/iperf3.log" 2>&1 &
  ip=$!
  pids+=("$ip")
  for _ in $(seq 50); do grep -q "listening" "$work/iperf3.log" 2>/dev/null && break; sleep 0.1; done
  mbs() {
    awk '/"sum_received"/ { f = 1 } f && /"bits_per_second"/ { gsub(/[^0-9.e+]/, "", $2); printf "%.0f", $2 / 8e6; exit }'
  }
  up=$(timeout "$limit" iperf3 -c 127.0.0.1 -p "$port" -t "$secs" -J 2>/dev/null | mbs)
  down=$(timeout "$limit" iperf3 -c 127.0.0.1 -p "$port" -t "$secs" -R -J 2>/dev/null | mbs)
  stoppid "$ip"
  pids=("$srvpid")
  rows+=("$(row "direct (iperf3)" "${up:-fail}" "${down:-fail}" "-" "-" "-" "-")")
}

echo "relay_bench: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $ncpu CPUs, $(uname -sr)"
echo "  cpu: $(cpumodel)"
echo "  kevra: $kevra ($(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?'))"
echo "  socat: $(socat -V 2>/dev/null | awk '/socat version/ { print $3; exit }')"
echo "  ${secs} s per throughput run (best of $reps) and connection run, $rtts round trips of $msgsize bytes"
echo

measure "direct (relaytool)" ""
if command -v iperf3 >/dev/null; then iperf3row; fi
if [ -x "$kevra" ]; then
  measure "kevra (default 8192)" "$kevra @LPORT@ 127.0.0.1 @SPORT@"
  measure "kevra -buf=200000" "$kevra -buf=200000 @LPORT@ 127.0.0.1 @SPORT@"
  measure "kevra -buf=512" "$kevra -buf=512 @LPORT@ 127.0.0.1 @SPORT@"
else
  echo "  no relay binary at $kevra: its rows are skipped" >&2
fi
if command -v socat >/dev/null; then
  sock="TCP-LISTEN:@LPORT@,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:@SPORT@"
  measure "socat (default 8192)" "socat $sock"
  measure "socat -b 65536" "socat -b 65536 $sock"
else
  echo "  socat is not installed: its rows are skipped" >&2
fi

row "path" "c->s MB/s" "s->c MB/s" "CPU s/GB" "RTT p50 us" "RTT p99 us" "conn/s"
printf "%s\n" "${rows[@]}"
