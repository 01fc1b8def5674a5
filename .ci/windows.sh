#!/usr/bin/env bash
# CI, Windows stage: install mingw-w64 and Wine when missing (the lines of
# .ci/packages marked windows and wine), cross-build kevra.exe (warnings are
# errors), check that it needs no DLL beyond the system's own, run its tests
# under Wine (tests/windows/run.sh) and build the zip for Windows users.
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
echo "Windows stage: $(( $(date +%s) - start )) s"
