#!/bin/sh
# Runs a test that needs 32-bit programs, or reports it skipped.
#   if-32bit.sh VERDICT probe PREFIX    asks probe-32bit.sh, in the 32-bit
#                                       prefix PREFIX, and keeps the answer
#   if-32bit.sh VERDICT COMMAND [ARG...] runs COMMAND if the answer is yes
# VERDICT holds "yes" or the probe's reason. Without it, the probe is asked
# here. A test that cannot run prints "skipped: REASON" and ends with status
# 77, which CTest reports as skipped; a test that runs ends as it ends.
set -u
here=$(cd "$(dirname "$0")" && pwd)
verdict=$1
shift

skip() {
  echo "skipped: $1"
  exit 77
}

# The probe's answer, kept in VERDICT.
ask() {
  status=0
  reason=$(sh "$here/../../scripts/probe-32bit.sh" "$@") || status=$?
  if [ "$status" -eq 0 ]; then
    reason=yes
  elif [ -z "$reason" ]; then
    reason="the 32-bit probe failed with status $status"
  fi
  printf '%s\n' "$reason" | head -n 1 >"$verdict.$$"
  mv "$verdict.$$" "$verdict"
}

if [ "$1" = probe ]; then
  ask "$2"
else
  [ "${CHANPIPE_TEST_NO_32BIT:-}" != 1 ] ||
    skip "32-bit programs are turned off for the tests (CHANPIPE_TEST_NO_32BIT=1)"
  [ -s "$verdict" ] || ask
fi
read -r answer <"$verdict"
[ "$answer" = yes ] || skip "$answer"
[ "$1" = probe ] || exec "$@"
echo "32-bit programs run here"
