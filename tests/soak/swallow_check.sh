#!/bin/sh
# The soak's ledger can fail: a short soak in which the pair's emulator takes three route
# commands of a salvo without carrying them out must fail and name exactly those three routes
# (device, destination, source), which this script reads from the emulator's own wire log.
# Usage: swallow_check.sh SOAK_BINARY WORK_DIR
soak="$1"
work="$2"
out="$work.out"
"$soak" 15 --seed 5 --swallow 3 --work "$work" >"$out" 2>&1
code=$?
cat "$out"
if [ "$code" -ne 1 ]; then
  echo "swallow_check: the soak exited $code, not 1 (a failed run)"
  exit 1
fi
# "rx tcp:PORT#N .SA12,7\r swallowed": level A is device 101, level B device 102 (offset 128).
swallowed=$(sed -n 's/.* \.S\([AB]\)\([0-9]*\),\([0-9]*\)\\r swallowed.*/\1 \2 \3/p' \
  "$work/emu_tcp.err" | awk '{ if ($1 == "A") print 101, $2, $3; else print 102, $2 - 128, $3 }' |
  sort)
named=$(sed -n 's/^soak: \(dropped_unexplained\|unaccounted\): route \([0-9]* [0-9]* [0-9]*\) .*/\2/p' \
  "$out" | sort)
echo "swallowed by the emulator:"
echo "$swallowed"
echo "named by the soak:"
echo "$named"
if [ "$(echo "$swallowed" | grep -c .)" -ne 3 ]; then
  echo "swallow_check: the emulator did not swallow three route commands"
  exit 1
fi
if [ "$swallowed" != "$named" ]; then
  echo "swallow_check: the soak named other routes than the three swallowed"
  exit 1
fi
echo "swallow_check: the soak failed and named exactly the three swallowed routes"
