#!/bin/sh
# fuzz/run.sh <dir-with-fuzz-binaries> <seconds>
# Runs every fuzz_* binary found in the folder for the given seconds each,
# on its seeds in fuzz/corpus/<name without fuzz_>/ (created when missing);
# inputs it finds go to <dir>/corpus-new/<name>/.
# Crash inputs are left in that folder's crashes/ subfolder. Exits non-zero
# when any target finds a crash or cannot run.
set -u

if [ $# -ne 2 ]; then
  echo "usage: $0 <dir-with-fuzz-binaries> <seconds>" >&2
  exit 2
fi
bindir=$1
seconds=$2
case $seconds in
  '' | *[!0-9]*) echo "$0: seconds must be a whole number: $seconds" >&2; exit 2 ;;
esac
here=$(cd "$(dirname "$0")" && pwd)

found=0
failed=0
for bin in "$bindir"/fuzz_*; do
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  found=$((found + 1))
  name=$(basename "$bin")
  corpus="$here/corpus/${name#fuzz_}"
  # New inputs go beside the binaries; the seeds kept in the tree stay small
  # and reviewed (copy good finds into fuzz/corpus/ by hand).
  found_inputs="$bindir/corpus-new/${name#fuzz_}"
  crashes="$corpus/crashes"
  mkdir -p "$corpus" "$crashes" "$found_inputs"
  echo "== $name: $seconds s on $corpus"
  if "$bin" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$crashes/" \
      "$found_inputs" "$corpus"; then
    echo "== $name: no crash"
  else
    echo "== $name: FAILED (crash inputs in $crashes)"
    failed=$((failed + 1))
  fi
  rmdir "$crashes" 2>/dev/null
done

if [ "$found" -eq 0 ]; then
  echo "$0: no fuzz_* binaries in $bindir" >&2
  exit 2
fi
echo "== $found target(s), $failed failed"
[ "$failed" -eq 0 ]
