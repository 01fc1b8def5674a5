#!/usr/bin/env bash
# A demonstration on loopback: an echo server, a serverside and a clientside
# kevra chained into an encrypted tunnel, a few lines sent through it, and
# both logs. Everything it starts is stopped by its pid when it ends.
#   usage: examples/demo.sh [path-to-kevra]
set -u
kevra=${1:-build/release/kevra}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# Three free loopback ports, chosen now.
read -r echoport srvport cliport < <(python3 - <<'PY'
import socket
socks = [socket.socket() for _ in range(3)]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])
PY
)

# wait_listening PORT NAME PID: until something listens on PORT (the
# kernel's table of TCP sockets, so no connection is made to find out), at
# most ten seconds; stops the demonstration when NAME (PID) ended instead.
wait_listening() {
  local hex
  hex=$(printf '%04X' "$1")
  for _ in $(seq 100); do
    awk -v p="$hex" '$4 == "0A" && substr($2, index($2, ":") + 1) == p { f = 1 } END { exit !f }' \
      /proc/net/tcp && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  echo "** $2 is not listening on port $1"
  cat "$work"/*.log 2>/dev/null
  exit 1
}

# The target: an echo server.
python3 - "$echoport" <<'PY' &
import socket, sys, threading
srv = socket.socket(); srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
srv.bind(("127.0.0.1", int(sys.argv[1]))); srv.listen(8)
def serve(c):
    while (d := c.recv(65536)): c.sendall(d)
    c.close()
while True:
    c, _ = srv.accept(); threading.Thread(target=serve, args=(c,), daemon=True).start()
PY
pids+=($!)
wait_listening "$echoport" "the echo server" $!
echo "== echo server on 127.0.0.1:$echoport"

# Seed files and locks in the demonstration's own folder.
export KEVRA_STATEDIR=$work
echo "== serverside kevra on port $srvport -> echo server   (examples/serverside.txt)"
"$kevra" -b=127.0.0.1 -f="$here/serverside.txt" "$srvport" 127.0.0.1 "$echoport" >"$work/serverside.log" 2>&1 &
pids+=($!)
wait_listening "$srvport" "the serverside kevra" $!
echo "== clientside kevra on port $cliport -> serverside    (examples/clientside.txt)"
"$kevra" -b=127.0.0.1 -f="$here/clientside.txt" "$cliport" 127.0.0.1 "$srvport" >"$work/clientside.log" 2>&1 &
pids+=($!)
wait_listening "$cliport" "the clientside kevra" $!

echo "== sending three lines through the tunnel"
python3 - "$cliport" <<'PY'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
for line in ["hello through the tunnel", "the secret never travels", "goodbye"]:
    s.sendall((line + "\n").encode())
    got = b""
    while not got.endswith(b"\n"):
        more = s.recv(4096)
        if not more:
            sys.exit("   the tunnel closed the connection; see the logs below")
        got += more
    print("   sent:", line, "| echoed:", got.decode().rstrip())
s.close()
time.sleep(0.3)
PY
rc=$?

echo
echo "== clientside log"
sed 's/^/   /' "$work/clientside.log"
echo
echo "== serverside log"
sed 's/^/   /' "$work/serverside.log"
exit $rc
