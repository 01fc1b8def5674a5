#!/usr/bin/env bash
# goals.sh: every speed goal of the relay side by side in one run, on
# loopback: this kevra, an older build (KEVRA_OLD), socat -b8192, rinetd,
# spiped, stunnel and a direct connection, each measured once per round and
# the rounds repeated, so every path meets the same moments of the machine.
# Prints the goals table with pass or fail and writes the raw figures to a
# folder that bench/figures.py turns into the README's tables and the plot.
#
# Per path and round: bulk throughput each way (the relay processes' CPU
# seconds per GB moved beside), keep-alive request/response (100-byte
# requests, 10 KB answers, one connection), the round trip of 64 bytes with
# client, server and relay on CPU 0, short connections per second (connect,
# one byte there and back, close) with the CPU per connection, and the time
# from connect until the first byte is back (the two ends of a tunnel each on
# a CPU of its own for this one, as on two machines). Once per run: the primitives'
# own cost (crypto_bench: RC4, HMAC-SHA1, the key derivation, triple DES).
#
# Usage: bench/goals.sh [results folder]   (default build/goals)
# Environment: KEVRA (default build/release/kevra), KEVRA_OLD (an older
#   build for its rows, say of babb676; skipped when unset), BENCH_REPEAT
#   (rounds, default 5), BENCH_SECONDS (per bulk and connection run,
#   default 2), BENCH_REQUESTS (per request/response run, default 100),
#   CRYPTO_BENCH (default build/bench/bench/crypto_bench, built when missing),
#   KEVRA_OLD_NAME (how the tables name the older build, say "babb676"),
#   BENCH_PIN=0 (leave the tunnel ends where the scheduler puts them for the
#   first byte too; on a busy machine an end pinned behind other work waits).
# Takes about a minute per round. Run it on a quiet machine: the figures
# are only comparable within one run, and only on the processor it names.
# Needs the lines of .ci/packages marked bench (installed when missing).
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/goals}
kevra=${KEVRA:-$root/build/release/kevra}
old=${KEVRA_OLD:-}
reps=${BENCH_REPEAT:-5}
secs=${BENCH_SECONDS:-2}
requests=${BENCH_REQUESTS:-100}
pin=${BENCH_PIN:-1}
cbench=${CRYPTO_BENCH:-$root/build/bench/bench/crypto_bench}
hz=$(getconf CLK_TCK)
limit=$((${secs%.*} + 30))   # seconds any one client run may take

bash "$root/.ci/deps.sh" bench || exit 1
[ -x "$kevra" ] || { echo "no relay binary at $kevra (make build)" >&2; exit 1; }
[ -z "$old" ] || [ -x "$old" ] || { echo "KEVRA_OLD=$old is not a binary" >&2; exit 1; }
if [ ! -x "$cbench" ]; then
  cmake --preset bench -S "$root" >/dev/null && cmake --build "$root/build/bench" --target crypto_bench >/dev/null ||
    { echo "cannot build crypto_bench" >&2; exit 1; }
  cbench=$root/build/bench/bench/crypto_bench
fi

. "$root/bench/benchlib.sh"
mkdir -p "$out"
raw=$out/results.tsv
: >"$raw"

startserver
pids+=("$srvpid")

# The paths: name, entry port and the processes whose CPU time counts.
names=()
declare -A port=() procs=()
# addpath(name, port, pids...): a path that has started; dropped if it does not answer.
addpath() {
  local n=$1 p=$2 q
  shift 2
  for q in "$@"; do
    if ! waitready "$p" "$q"; then
      echo "  $n: did not start; skipped" >&2
      return
    fi
  done
  names+=("$n") port[$n]=$p procs[$n]="$*"
}
# plain(name, command with @LPORT@ and @SPORT@)
plain() {
  local n=$1 cmd=$2 p
  p=$("$tool" freeport)
  cmd=${cmd//@LPORT@/$p}
  cmd=${cmd//@SPORT@/$sport}
  # shellcheck disable=SC2086  # the command is a word list on purpose
  start "$work/$n.log" $cmd
  addpath "$n" "$p" "$started"
}
# tunnel(name, binary, cipher): clientside -> serverside -> server.
tunnel() {
  local n=$1 bin=$2 cipher=$3 sp cp spid
  sp=$("$tool" freeport)
  cp=$("$tool" freeport)
  printf 'TUNNEL OPTIONS ENCRTYPE %s\nTUNNEL SERVERSIDE USERNAME bench SECRET benchsecret\n' "$cipher" >"$work/$n.s.txt"
  printf 'TUNNEL OPTIONS ENCRTYPE %s\nTUNNEL CLIENTSIDE USERNAME bench SECRET benchsecret\n' "$cipher" >"$work/$n.c.txt"
  start "$work/$n.s.log" "$bin" -f="$work/$n.s.txt" "$sp" 127.0.0.1 "$sport"
  spid=$started
  start "$work/$n.c.log" "$bin" -f="$work/$n.c.txt" "$cp" 127.0.0.1 "$sp"
  addpath "$n" "$cp" "$spid" "$started"
}
# pair(name, server command, client command): two ends with @IN@, @MID@, @OUT@ ports.
pair() {
  local n=$1 s=$2 c=$3 in mid spid
  in=$("$tool" freeport)
  mid=$("$tool" freeport)
  s=${s//@MID@/$mid} s=${s//@OUT@/$sport}
  c=${c//@IN@/$in} c=${c//@MID@/$mid}
  # shellcheck disable=SC2086
  start "$work/$n.s.log" $s
  spid=$started
  # shellcheck disable=SC2086
  start "$work/$n.c.log" $c
  addpath "$n" "$in" "$spid" "$started"
}

names+=(direct) port[direct]=$sport procs[direct]=""
plain kevra "$kevra @LPORT@ 127.0.0.1 @SPORT@"
[ -n "$old" ] && plain old "$old @LPORT@ 127.0.0.1 @SPORT@"
plain socat "socat -b8192 TCP-LISTEN:@LPORT@,bind=127.0.0.1,reuseaddr,fork TCP:127.0.0.1:@SPORT@"
rp=$("$tool" freeport)
printf '127.0.0.1 %s 127.0.0.1 %s\n' "$rp" "$sport" >"$work/rinetd.conf"
start "$work/rinetd.log" rinetd -f -c "$work/rinetd.conf"
addpath rinetd "$rp" "$started"
tunnel tunnel "$kevra" RC4
[ -n "$old" ] && tunnel tunnel_old "$old" RC4
tunnel tunnel_3des "$kevra" DES3
head -c 32 /dev/urandom >"$work/spiped.key"
pair spiped "spiped -F -d -s [127.0.0.1]:@MID@ -t [127.0.0.1]:@OUT@ -k $work/spiped.key" \
  "spiped -F -e -s [127.0.0.1]:@IN@ -t [127.0.0.1]:@MID@ -k $work/spiped.key"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -keyout "$work/st.key" -out "$work/st.crt" >/dev/null 2>&1
printf 'foreground = yes\npid =\n[s]\naccept = 127.0.0.1:@MID@\nconnect = 127.0.0.1:@OUT@\ncert = %s\nkey = %s\n' \
  "$work/st.crt" "$work/st.key" >"$work/sts.tmpl"
printf 'foreground = yes\npid =\n[c]\nclient = yes\naccept = 127.0.0.1:@IN@\nconnect = 127.0.0.1:@MID@\n' >"$work/stc.tmpl"
stin=$("$tool" freeport) stmid=$("$tool" freeport)
sed "s/@MID@/$stmid/; s/@OUT@/$sport/" "$work/sts.tmpl" >"$work/sts.conf"
sed "s/@IN@/$stin/; s/@MID@/$stmid/" "$work/stc.tmpl" >"$work/stc.conf"
start "$work/stunnel.s.log" stunnel "$work/sts.conf"
stspid=$started
start "$work/stunnel.c.log" stunnel "$work/stc.conf"
addpath stunnel "$stin" "$stspid" "$started"

ticks() {
  local t=0 q
  for q in "$@"; do t=$((t + $(cputicks "$q"))); done
  echo "$t"
}
put() { printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${4:-fail}" >>"$raw"; }
# A figure or "fail" from relaytool's output line, field n, scaled.
field() { awk -v n="$1" -v s="${2:-1}" '{ if ($n + 0 > 0) printf "%.4g", $n * s; else print "fail" }'; }

# round(r): every measurement of every path once.
round() {
  local r=$1 n p q t0 t1 b1 s1 b2 s2 line
  for n in "${names[@]}"; do
    p=${port[$n]} q=${procs[$n]}
    # shellcheck disable=SC2086  # q is a list of pids
    t0=$(ticks $q)
    read -r b1 s1 < <(timeout "$limit" "$tool" send "$p" "$secs")
    read -r b2 s2 < <(timeout "$limit" "$tool" recv "$p" "$secs")
    sleep 0.2   # a forking relay reaps its children, so their time counts
    # shellcheck disable=SC2086
    t1=$(ticks $q)
    put "$n" up "$r" "$(echo "${b1:-0} ${s1:-0}" | awk '{ if ($1 > 0 && $2 > 0) printf "%.1f", $1 / $2 / 1e6; else print "fail" }')"
    put "$n" down "$r" "$(echo "${b2:-0} ${s2:-0}" | awk '{ if ($1 > 0 && $2 > 0) printf "%.1f", $1 / $2 / 1e6; else print "fail" }')"
    [ -n "$q" ] && put "$n" cpu_gb "$r" "$(awk -v c="$((t1 - t0))" -v hz="$hz" -v b="$((${b1:-0} + ${b2:-0}))" \
      'BEGIN { if (b > 0) printf "%.3f", c / hz / (b / 1e9); else print "fail" }')"
    put "$n" reqresp_ms "$r" "$(timeout "$limit" "$tool" reqresp "$p" "$requests" | field 1)"
    case $n in
      direct|kevra|old|socat|rinetd)
        # shellcheck disable=SC2086
        for x in "$srvpid" $q; do taskset -a -p -c 0 "$x" >/dev/null 2>&1; done
        put "$n" rtt1_us "$r" "$(timeout "$limit" taskset -c 0 "$tool" pingpong "$p" 2000 64 | field 1)"
        # shellcheck disable=SC2086
        for x in "$srvpid" $q; do taskset -a -p -c "0-$(($(nproc) - 1))" "$x" >/dev/null 2>&1; done ;;
    esac
    # shellcheck disable=SC2086
    t0=$(ticks $q)
    line=$(timeout "$limit" "$tool" connrate "$p" "$secs")
    # shellcheck disable=SC2086
    t1=$(ticks $q)
    put "$n" conn_s "$r" "$(echo "$line" | awk '{ if ($1 > 0 && $2 > 0) printf "%.0f", $1 / $2; else print "fail" }')"
    [ -n "$q" ] && put "$n" cpu_ms_conn "$r" "$(echo "$line" | awk -v c="$((t1 - t0))" -v hz="$hz" \
      '{ if ($1 > 0) printf "%.3f", 1000 * c / hz / $1; else print "fail" }')"
    # The two ends of a tunnel on CPUs of their own, as on two machines:
    # the handshake's derivations run side by side only then. Sharing one
    # CPU (where the scheduler often wakes both), they take turns, and the
    # figure tells of the scheduler, not of the tunnel.
    # shellcheck disable=SC2086  # q is a list of pids
    set -- $q
    if [ "$pin" = 1 ] && [ $# -eq 2 ] && [ "$(nproc)" -ge 2 ]; then
      taskset -a -p -c 1 "$1" >/dev/null 2>&1
      taskset -a -p -c 0 "$2" >/dev/null 2>&1
    fi
    put "$n" first_ms "$r" "$(timeout "$limit" "$tool" firstbyte "$p" 20 | field 1)"
    # shellcheck disable=SC2086
    for x in $q; do taskset -a -p -c "0-$(($(nproc) - 1))" "$x" >/dev/null 2>&1; done
  done
}

{
  echo "date	$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "cpu	$(cpumodel)"
  echo "cpus	$(nproc)"
  echo "kernel	$(uname -sr)"
  echo "load	$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "kevra	$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')"
  echo "old	${KEVRA_OLD_NAME:-$old}"
  echo "rounds	$reps"
  echo "seconds	$secs"
  echo "requests	$requests"
  echo "socat	$(socat -V 2>/dev/null | awk '/socat version/ { print $3; exit }')"
  echo "spiped	$(spiped -v 2>&1 | awk '{ print $2; exit }')"
  echo "stunnel	$(stunnel -version 2>&1 | awk '/^stunnel/ { print $2; exit }')"
} >"$out/meta.tsv"

echo "goals: $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $(cpumodel), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)" >&2
echo "  paths: ${names[*]}; $reps rounds of ${secs} s runs" >&2
for r in $(seq "$reps"); do
  echo "  round $r of $reps ($(date -u +%H:%M:%S))" >&2
  round "$r"
done

# The primitives, once: CPU time per call.
"$cbench" --benchmark_min_time=0.3 --benchmark_format=csv \
  --benchmark_filter='^BM_(openssl_)?(rc4_8k|hmac_8k|pbkdf2_4000_84|des3cfb_8k|des3cfb_decr_8k)$' 2>/dev/null |
  awk -F, 'NR > 1 { gsub(/"/, "", $1); u = $5 == "ms" ? 1e3 : $5 == "us" ? 1 : 1e-3; printf "prim\t%s\t0\t%.3f\n", $1, $4 * u }' >>"$raw"
echo "load_end	$(cut -d' ' -f1-3 /proc/loadavg)" >>"$out/meta.tsv"

"$root/bench/figures.py" "$out" --goals   # the system python3, which has matplotlib
