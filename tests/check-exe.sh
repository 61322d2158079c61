#!/bin/sh
# Checks the shipped chanpipe.exe: a 32-bit console program for Windows XP
# (subsystem 5.01) with its asInvoker manifest, importing only what XP's
# KERNEL32, SETUPAPI and msvcrt have.
#   check-exe.sh OBJDUMP EXE
set -eu
objdump=$1 exe=$2
windres=$(echo "$objdump" | sed 's/objdump$/windres/')
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$objdump" -p "$exe" >"$work/headers"
grep -q 'file format pei-i386' "$work/headers" || fail "not a 32-bit x86 PE"
grep -Eq '^Subsystem[[:space:]]+00000003' "$work/headers" || fail "not a console program"
grep -Eq '^MajorSubsystemVersion[[:space:]]+5$' "$work/headers" &&
  grep -Eq '^MinorSubsystemVersion[[:space:]]+1$' "$work/headers" || fail "subsystem version is not 5.01"
grep -Eq '^MajorOSystemVersion[[:space:]]+5$' "$work/headers" &&
  grep -Eq '^MinorOSystemVersion[[:space:]]+1$' "$work/headers" || fail "OS version is not 5.01"

# Imports, as "DLL function" lines.
awk '/DLL Name:/ { dll = toupper($3); next }
     dll != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ { print dll, $3 }
     /^[[:space:]]*$/ { }' "$work/headers" | sort -u >"$work/imports"
[ -s "$work/imports" ] || fail "no imports found"
dlls=$(cut -d' ' -f1 "$work/imports" | sort -u | tr '\n' ' ')
[ "$dlls" = "KERNEL32.DLL MSVCRT.DLL SETUPAPI.DLL " ] || fail "imports from: $dlls"
setupapi=$(awk '$1 == "SETUPAPI.DLL" { print $2 }' "$work/imports" | tr '\n' ' ')
[ "$setupapi" = "SetupDiDestroyDeviceInfoList SetupDiEnumDeviceInterfaces SetupDiGetClassDevsW SetupDiGetDeviceInterfaceDetailW " ] ||
  fail "SETUPAPI imports: $setupapi"
for dll in KERNEL32 MSVCRT; do
  allowed="$here/xp-$(echo "$dll" | tr 'A-Z' 'a-z').txt"
  awk -v d="$dll.DLL" '$1 == d { print $2 }' "$work/imports" | while read -r fn; do
    grep -qx "$fn" "$allowed" || echo "$dll $fn"
  done >"$work/unknown-$dll"
  [ ! -s "$work/unknown-$dll" ] || fail "not known to be on Windows XP: $(tr '\n' ' ' <"$work/unknown-$dll")"
done

# The manifest, as resource 1 of type RT_MANIFEST.
"$windres" -i "$exe" -O rc >"$work/resources.rc" 2>"$work/windres.err" || fail "cannot read resources"
grep -q '^1 24 ' "$work/resources.rc" || fail "no RT_MANIFEST resource 1"
grep -q 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""' "$work/resources.rc" ||
  fail "manifest does not ask for asInvoker without uiAccess"

echo "$(wc -c <"$exe") bytes; imports:"
sed 's/^/  /' "$work/imports"
[ "$failures" -eq 0 ] || exit 1
echo "chanpipe.exe check passed"
