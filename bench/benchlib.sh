# benchlib.sh: what the benchmark scripts share, sourced after they set $root.
# A scratch folder $work (also the relays' state folder), the list $pids of
# processes to stop on exit, the load generator $tool (bench/relaytool.cpp,
# compiled here), start, waitready, cputicks and cpumodel.

work=$(mktemp -d)
pids=()
# The relays keep their seed files and locks here, not in the machine's
# state folder, which a kevra in service may be using.
export KEVRA_STATEDIR=$work

# stoppid(pid): stop a process this script started, and the children a
# forking relay made for its connections; SIGKILL after one second.
stoppid() {
  local c
  for c in $(tr ' ' '\n' 2>/dev/null <"/proc/$1/task/$1/children"); do kill "$c" 2>/dev/null; done
  kill "$1" 2>/dev/null
  for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}
stopall() {
  local p
  for p in "${pids[@]}"; do stoppid "$p"; done
  pids=()
}
trap 'stopall; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

tool=$work/relaytool
g++ -O2 -std=c++20 -pthread -o "$tool" "$root/bench/relaytool.cpp" || { echo "cannot build relaytool" >&2; exit 1; }

# start(log, command...): a process in the background, its output in log and
# its pid in $started and in $pids (so that it is stopped on exit).
start() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 &
  started=$!
  pids+=("$started")
}

# startserver: the one relaytool server of a run (sink, source or echo by the
# client's first byte); its pid in $srvpid, its port in $sport. A script that
# stops $pids between rows keeps the server out of them.
startserver() {
  "$tool" serve >"$work/server.port" &
  srvpid=$!
  for _ in $(seq 50); do [ -s "$work/server.port" ] && break; sleep 0.1; done
  sport=$(cat "$work/server.port")
  [ -n "$sport" ] || { echo "server did not start" >&2; exit 1; }
}

# waitready(port, pid): true once port accepts, false if pid died or 5 s passed.
waitready() {
  for _ in $(seq 50); do
    [ -n "$2" ] && ! kill -0 "$2" 2>/dev/null && return 1
    "$tool" waitready "$1" 100 && return 0
  done
  return 1
}

# cputicks(pid): user + system ticks of a process and of its reaped children.
cputicks() {
  sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | awk '{print $12 + $13 + $14 + $15}'
}

# cpumodel: the processor's model as the kernel names it, for the headers;
# figures from different processors are not comparable.
cpumodel() {
  local m
  m=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null)
  echo "${m:-$(uname -m)}"
}
