#!/usr/bin/env bash
# The Windows package: made by cpack, unpacked into an empty folder, morvik.exe run from there under
# Wine by the host's client and by the packaged morvik-client.exe, and every binary checked to
# import only Windows system DLLs (and morvik.exe its talvane.dll).
set -euo pipefail
build=$1          # the windows build folder
client=$2         # the host's morvik-client
wine=${MORVIK_WINE:-/usr/lib/wine/wine64}

(cd "$build" && cpack -G ZIP >/dev/null)
zip=$(ls "$build"/morvik-*-win64.zip)
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unzip -q "$zip" -d "$dir"
for f in morvik.exe talvane.dll morvik-client.exe README.md protocol.md; do
  [ -f "$dir/$f" ] || { echo "package lacks $f"; exit 1; }
done

system_dlls='^(kernel32|advapi32|netapi32|mpr|msvcrt|ntdll|user32)\.dll$'
for f in morvik.exe talvane.dll morvik-client.exe; do
  while read -r dll; do
    lower=$(echo "$dll" | tr 'A-Z' 'a-z')
    if [[ ! $lower =~ $system_dlls ]] && ! { [ "$f" = morvik.exe ] && [ "$lower" = talvane.dll ]; }; then
      echo "$f imports $dll, which is not a Windows system DLL"
      exit 1
    fi
  done < <(x86_64-w64-mingw32-objdump -p "$dir/$f" | sed -n 's/^\s*DLL Name: //p')
done
# Listings are captured first: grep -q closing the pipe early would fail the pipeline.
imports=$(x86_64-w64-mingw32-objdump -p "$dir/morvik.exe")
grep -qi 'DLL Name: talvane.dll' <<<"$imports" || { echo "morvik.exe does not load talvane.dll"; exit 1; }
for f in morvik.exe talvane.dll morvik-client.exe; do
  sections=$(x86_64-w64-mingw32-objdump -h "$dir/$f")
  grep -q '\.rsrc' <<<"$sections" || { echo "$f has no version resource"; exit 1; }
done

# Run from the unpacked folder: computer-name must answer with Wine's computer name.
expected=$(hostname | cut -d. -f1 | tr 'a-z' 'A-Z' | cut -c1-15)
out=$(cd "$dir" && "$client" --server "$wine ./morvik.exe" computer-name)
echo "$out"
[ "$out" = "computer-name: 1 (the computer name)
  $expected" ] || { echo "unexpected answer from the unpacked morvik.exe"; exit 1; }
# The packaged client starts the morvik.exe beside it.
out=$(cd "$dir" && "$wine" ./morvik-client.exe computer-name | tr -d '\r')
echo "$out"
[ "$out" = "computer-name: 1 (the computer name)
  $expected" ] || { echo "unexpected answer from the unpacked morvik-client.exe"; exit 1; }
echo "package ok"
