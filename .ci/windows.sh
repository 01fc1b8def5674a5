#!/usr/bin/env bash
# CI, Windows stage: install mingw-w64 and Wine when missing (the lines of
# .ci/packages marked windows and wine), cross-build kevra.exe (warnings are
# errors), check that it needs no DLL beyond the system's own, run its tests
# under Wine (tests/windows/run.sh) and build the zip for Windows users, with
# what it must hold.
set -euo pipefail
cd "$(dirname "$0")/.."

bash .ci/deps.sh windows
bash .ci/deps.sh wine
export CI=true
start=$(date +%s)
make windows

# Only system DLLs: the compiler's runtime is linked in.
dlls=$(x86_64-w64-mingw32-objdump -p build/windows/kevra.exe | awk '/DLL Name:/ { print tolower($3) }' | sort -u)
echo "kevra.exe imports: $(echo $dlls)"
for d in $dlls; do
  case $d in
    kernel32.dll|ws2_32.dll|advapi32.dll|bcrypt.dll|msvcrt.dll) ;;
    *) echo "kevra.exe needs $d, which Windows does not bring" >&2; exit 1 ;;
  esac
done

make test-windows
make package-windows

# The version resource carries the copyright line that -v prints.
copyright=$({ build/release/kevra -v || true; } | grep '^Copyright')
strings -el build/windows/kevra.exe | grep -qxF "$copyright" \
  || { echo "kevra.exe: no version resource with \"$copyright\"" >&2; exit 1; }
# One folder, the files README.txt promises, the sum beside the zip.
(cd build/windows && sha256sum -c kevra-*-win64.zip.sha256)
python3 - build/windows/kevra-*-win64.zip <<'PY'
import sys, zipfile
zip = sys.argv[1]
top = zip.rsplit("/", 1)[-1][:-len(".zip")] + "/"
want = {top + f for f in ["kevra.exe", "kevra.txt", "protocol.md", "throughput.png", "LICENSE.txt", "README.txt",
                          "examples/clientside.txt", "examples/serverside.txt"]}
names = {n for n in zipfile.ZipFile(zip).namelist() if not n.endswith("/")}
if names != want:
    sys.exit(f"{zip}: missing {sorted(want - names)}, unexpected {sorted(names - want)}")
PY
echo "Windows stage: $(( $(date +%s) - start )) s"
