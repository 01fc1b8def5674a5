#!/usr/bin/env bash
# buffer_sweep.sh: bulk throughput (client to server) against buffer size, on
# loopback, for kevra (-buf=N), socat (-b N) and a direct connection, in one
# run. Prints CSV "size,kevra,socat,direct" in MB/s; bench/plot_sweep.py
# turns it into a PNG. Ports are chosen at run time, every process is stopped
# by its pid, every step has a time limit.
#   usage: bench/buffer_sweep.sh > sweep.csv
# Environment: KEVRA (default build/release/kevra), BENCH_SECONDS (default 2).
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
kevra=${KEVRA:-$root/build/release/kevra}
secs=${BENCH_SECONDS:-2}
limit=$((secs + 20))
sizes=(512 2048 8192 32768 65536 131072 200000)
. "$root/bench/benchlib.sh"
startserver
pids+=("$srvpid")

# push(port): MB/s of one bulk run through port, or "nan".
push() {
  local b t
  read -r b t < <(timeout "$limit" "$1" send "$2" "$secs")
  awk -v b="${b:-0}" -v t="${t:-0}" 'BEGIN { if (b > 0 && t > 0) printf "%.1f", b / t / 1e6; else print "nan" }'
}

# through(command...): start a relay on a fresh port, measure, stop it.
through() {
  local port pid
  port=$("$tool" freeport)
  "${@//@LPORT@/$port}" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 50); do "$tool" waitready "$port" 100 && break; done
  push "$tool" "$port"
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
}

direct=$(push "$tool" "$sport")
echo "size,kevra,socat,direct"
for n in "${sizes[@]}"; do
  k=$(through "$kevra" -buf="$n" @LPORT@ 127.0.0.1 "$sport")
  if command -v socat >/dev/null; then
    s=$(through socat -b "$n" TCP-LISTEN:@LPORT@,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:"$sport")
  else
    s=nan
  fi
  echo "$n,$k,$s,$direct"
done
kill "$srvpid" 2>/dev/null
