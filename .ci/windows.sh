#!/usr/bin/env bash
# CI, Windows stage: install mingw-w64 and Wine when missing, cross-build
# kevra.exe (warnings are errors), check that it needs no DLL beyond the
# system's own, run its tests under Wine (tests/windows/run.sh) and build the
# zip for Windows users.
set -euo pipefail
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive
packages=(cmake make g++ googletest libgtest-dev libssl-dev python3 g++-mingw-w64-x86-64-posix wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

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
