#!/bin/sh
# fuzz/run.sh <dir-with-fuzz-binaries> <seconds>: every fuzz_* target in the
# folder for the given seconds, on its seeds in fuzz/corpus/<name without
# fuzz_>/; new inputs go to <dir>/corpus-new/<name>/, crash inputs to
# <dir>/crashes/<name>/. Non-zero when a target crashes or none can run.
set -u
[ $# -eq 2 ] && [ -n "$2" ] && [ -z "$(echo "$2" | tr -d 0-9)" ] || { echo "usage: $0 <dir> <seconds>" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
found=0 failed=0
for bin in "$1"/fuzz_*; do
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  name=$(basename "$bin" | sed 's/^fuzz_//')
  found=$((found + 1))
  mkdir -p "$here/corpus/$name" "$1/corpus-new/$name" "$1/crashes/$name"
  echo "== $name: $2 s"
  "$bin" -max_total_time="$2" -print_final_stats=1 -artifact_prefix="$1/crashes/$name/" \
    "$1/corpus-new/$name" "$here/corpus/$name" || { echo "== $name: FAILED, see $1/crashes/$name"; failed=$((failed + 1)); }
done
[ "$found" -gt 0 ] || { echo "$0: no fuzz_* binaries in $1" >&2; exit 2; }
echo "== $found target(s), $failed failed"
[ "$failed" -eq 0 ]
