#!/bin/sh
# The shipped chanpipe.exe must have run. After CTest has run in these
# build trees, says where their 32-bit tests ran, and how many. Where this
# machine ran none of them (it runs no 32-bit programs: each printed
# "skipped: REASON"), runs those tests again in a VM whose kernel does
# (vm/ctest-in-vm.sh), on the same trees, every tree in one boot; a test
# skipped there too fails, as one that fails there. A 32-bit test is one
# that reads the 32-bit probe's answer, probe-32bit.txt.
#   scripts/test-32bit.sh BUILD...
# Prints a line for each tree that has 32-bit tests, for instance
#   windows-x86: 200 32-bit tests ran natively
#   windows-x64: 2 32-bit tests ran in a VM: REASON
# and fails unless all of them passed.
set -eu
cd "$(dirname "$0")/.."

# names LOG PATTERN: the 32-bit tests in CTest's LOG with a line that
# matches PATTERN, a name a line. (Other tests may print "skipped: " for
# reasons of their own.)
names() {
  awk -v pattern="$2" '/^[0-9]+\/[0-9]+ Test: /{ sub(/^[^:]*: /, ""); name = $0; is32 = 0 }
    /^Command: .*probe-32bit[.]txt/ { is32 = 1 }
    is32 && $0 ~ pattern && name != "" { print name; name = "" }' "$1"
}

# The trees whose 32-bit tests were skipped, each with the CTest arguments
# that pick those tests.
vm=""
for build in "$@"; do
  log=$build/Testing/Temporary/LastTest.log
  [ -f "$log" ] || continue
  all=$(names "$log" '^Command: .*probe-32bit[.]txt' | wc -l)
  skipped=$(names "$log" '^skipped: ' | wc -l)
  if [ "$all" -gt 0 ] && [ "$skipped" -eq 0 ]; then
    echo "${build##*/}: $all 32-bit tests ran natively"
  elif [ "$skipped" -gt 0 ]; then
    pick=$(names "$log" '^skipped: ' | sed 's/[].[^$*+?(){}|\\]/\\&/g' | paste -sd '|')
    vm="$vm${vm:+ --} $build -j 2 -R ^($pick)\$"
  fi
done
[ -n "$vm" ] || exit 0

status=0
# A word each: the trees' paths and the tests' names hold no spaces.
# shellcheck disable=SC2086
vm/ctest-in-vm.sh $vm || status=$?
for build in "$@"; do
  log=$build/Testing/Temporary/LastTest.log
  [ -f "$log" ] || continue
  skipped=$(names "$log" '^skipped: ' | wc -l)
  [ "$skipped" -gt 0 ] || continue
  reason=$(sed -n 's/^skipped: //p' "$log" | head -n 1)
  log=$build/Testing/Temporary/LastTest-vm.log
  ran=0 failed=0 again=0
  if [ -f "$log" ]; then
    ran=$(names "$log" '^Command: ' | wc -l)
    failed=$(names "$log" '^Test Failed' | wc -l)
    again=$(names "$log" '^skipped: ' | wc -l)
  fi
  if [ "$ran" -ge "$skipped" ] && [ "$failed" -eq 0 ] && [ "$again" -eq 0 ]; then
    echo "${build##*/}: $ran 32-bit tests ran in a VM: $reason"
  else
    [ "$again" -eq 0 ] || reason="there: $(sed -n 's/^skipped: //p' "$log" | head -n 1)"
    echo "${build##*/}: the 32-bit tests FAILED in a VM ($ran of $skipped ran, $failed failed," \
      "$again skipped there too): $reason"
    [ "$status" -ne 0 ] || status=1
  fi
done
exit "$status"
