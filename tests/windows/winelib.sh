# winelib.sh: Wine for the scripts that run kevra.exe, sourced after they set
# $root. A Wine folder of the build (WINEPREFIX, default build/windows/wine),
# quiet Wine, $wine (tests/windows/wine.sh, the command that runs a .exe),
# and a Wine server of their own: startwine starts it persistent, its
# messages in $WINEPREFIX/server.log (stopping any earlier one); winecrashed
# tells whether it ended since; stopwine stops it and every Wine process of
# the folder by its pid.
export WINEPREFIX=${WINEPREFIX:-$root/build/windows/wine}
export WINEDEBUG=-all
wine="$root/tests/windows/wine.sh"
wineloader=${KEVRA_WINE:-$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)}
wineserver=$(command -v wineserver || echo "$(dirname "$(readlink -f "$wineloader")")/wineserver")
wineserverpid=""

# winepids: every Wine process of this Wine folder, the server included
# (started with its WINEPREFIX, running a program of Wine's).
winepids() {
  local p
  for p in $(grep -lsxz "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3); do
    case $(readlink "/proc/$p/exe" 2>/dev/null) in */wine/*|*/wine64*|*/wineserver*) echo "$p" ;; esac
  done
}

stopwine() {
  local p
  for p in $wineserverpid $(winepids); do kill "$p" 2>/dev/null || true; done
  for _ in $(seq 20); do [ -z "$(winepids)" ] && break; sleep 0.1; done
  for p in $(winepids); do kill -9 "$p" 2>/dev/null || true; done
  if [ -n "$wineserverpid" ]; then wait "$wineserverpid" 2>/dev/null || true; fi
  wineserverpid=""
}

# winecrashed: true, with the server's last message, when it ended by itself.
winecrashed() {
  [ -n "$wineserverpid" ] && ! kill -0 "$wineserverpid" 2>/dev/null &&
    echo "Wine's server ended during the run: $(tail -n 1 "$WINEPREFIX/server.log" 2>/dev/null)"
}

startwine() {
  stopwine
  mkdir -p "$WINEPREFIX"
  "$wineserver" -f -p >/dev/null 2>"$WINEPREFIX/server.log" &
  wineserverpid=$!
  # The first program of a new Wine folder sets it up; that takes a while.
  timeout 300 "$wine" cmd /c exit >/dev/null 2>&1 || { echo "Wine does not start" >&2; return 1; }
}
