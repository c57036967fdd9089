#!/bin/sh
# Every program named answers --help: exit 0 with its usage on standard output ("usage: ...", or
# Google Benchmark's own "benchmark [--benchmark_...]" list), within 20 s and without starting
# anything.
failed=0
for program in "$@"; do
  out=$(timeout 20 "$program" --help 2>&1 </dev/null)
  code=$?
  first=$(printf '%s\n' "$out" | head -n 1)
  case "$first" in
    "usage: "* | "benchmark ["*) ;;
    *) code="$code, no usage" ;;
  esac
  if [ "$code" != 0 ]; then
    echo "$(basename "$program") --help: exit $code: $first"
    failed=1
  fi
done
exit $failed
