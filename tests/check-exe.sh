#!/bin/sh
# Checks a shipped Windows program: a console program for Windows XP
# (subsystem 5.01, or 5.02 for 64-bit XP) with its asInvoker manifest and
# its version resource, importing only what XP's KERNEL32, SETUPAPI and
# msvcrt have.
#   check-exe.sh OBJDUMP EXE VERSION SHIPPED-NAME
# OBJDUMP's prefix says the architecture (i686 or x86_64); VERSION is
# project()'s; SHIPPED-NAME is the file name in the release zip.
set -eu
objdump=$1 exe=$2 version=$3 shipped=$4
windres=$(echo "$objdump" | sed 's/objdump$/windres/')
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case $objdump in
  *i686-*) format=pei-i386 minor=1 extra=/dev/null ;;
  *x86_64-*) format=pei-x86-64 minor=2 extra="$here/xp-x64-extra.txt" ;;
  *) echo "check-exe: no architecture in $objdump" >&2; exit 2 ;;
esac

"$objdump" -p "$exe" >"$work/headers"
grep -q "file format $format\$" "$work/headers" || fail "not a $format program"
grep -Eq '^Subsystem[[:space:]]+00000003' "$work/headers" || fail "not a console program"
grep -Eq '^MajorSubsystemVersion[[:space:]]+5$' "$work/headers" &&
  grep -Eq "^MinorSubsystemVersion[[:space:]]+$minor\$" "$work/headers" ||
  fail "subsystem version is not 5.0$minor"
grep -Eq '^MajorOSystemVersion[[:space:]]+5$' "$work/headers" &&
  grep -Eq "^MinorOSystemVersion[[:space:]]+$minor\$" "$work/headers" || fail "OS version is not 5.0$minor"
# A link time in the header would make every build differ.
grep -Eq '^Time/Date[[:space:]]+Thu Jan  1 00:00:00 1970$' "$work/headers" ||
  fail "link time in the header: $(grep '^Time/Date' "$work/headers")"

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
    grep -qx "$fn" "$allowed" || grep -qx "$dll.DLL $fn" "$extra" || echo "$dll $fn"
  done >"$work/unknown-$dll"
  [ ! -s "$work/unknown-$dll" ] || fail "not known to be on Windows XP: $(tr '\n' ' ' <"$work/unknown-$dll")"
done

# The resources: the manifest as resource 1 of type RT_MANIFEST, and the
# version as resource 1 of type RT_VERSION, in U.S. English.
"$windres" -i "$exe" -O rc >"$work/resources.rc" 2>"$work/windres.err" || fail "cannot read resources"
grep -q '^1 24 ' "$work/resources.rc" || fail "no RT_MANIFEST resource 1"
grep -q 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""' "$work/resources.rc" ||
  fail "manifest does not ask for asInvoker without uiAccess"
grep -q "assemblyIdentity type=\"\"win32\"\" name=\"\"chanpipe\"\" version=\"\"$version.0\"\"" \
  "$work/resources.rc" || fail "manifest does not name chanpipe $version.0"
grep -q '^1 VERSIONINFO$' "$work/resources.rc" || fail "no RT_VERSION resource 1"
commas=$(echo "$version.0" | sed 's/\./, /g')
for field in FILEVERSION PRODUCTVERSION; do
  grep -qx " $field $commas" "$work/resources.rc" || fail "$field is not $commas"
done
grep -Eq '^[[:space:]]+VALUE "Translation", 0x409, 1200$' "$work/resources.rc" ||
  fail "version strings are not U.S. English, Unicode"
value() { sed -n "s/^[[:space:]]*VALUE \"$1\", \"\\(.*\\)\"\$/\\1/p" "$work/resources.rc"; }
for pair in "FileVersion=$version" "ProductVersion=$version" "ProductName=chanpipe" \
  "OriginalFilename=$shipped"; do
  name=${pair%%=*} want=${pair#*=}
  [ "$(value "$name")" = "$want" ] || fail "$name is \"$(value "$name")\", not \"$want\""
done
[ -n "$(value FileDescription)" ] || fail "no FileDescription"
# What Explorer and icoutils' wrestool see: the same two resources.
wrestool -l "$exe" >"$work/wrestool" 2>&1 || fail "wrestool cannot list the resources"
grep -q '^--type=16 --name=1 --language=1033 \[type=version ' "$work/wrestool" ||
  fail "wrestool shows no version resource: $(cat "$work/wrestool")"

echo "$(wc -c <"$exe") bytes; version $version as $shipped; resources:"
sed 's/^/  /' "$work/wrestool"
echo "imports:"
sed 's/^/  /' "$work/imports"
[ "$failures" -eq 0 ] || exit 1
echo "$shipped check passed"
