#!/usr/bin/env bash
# Runs every fuzz program for the given number of seconds on a copy of its
# seed corpus, prints how many inputs each one ran, and fails on the first
# crash (the crashing input is left in the build directory).
# Usage: bash fuzz/run.sh BUILD_DIR SECONDS
set -u
build=$(cd "$1" && pwd)
seconds=${2:-60}
src=$(cd "$(dirname "$0")" && pwd)
status=0
for target in archive_fuzz header_fuzz cmdline_fuzz; do
  work="$build/corpus/$target"
  mkdir -p "$work" "$build/artifacts"
  seeds="$src/corpus/${target%_fuzz}"
  log="$build/$target.log"
  # Archives need room for several records of blocks; the others stay short.
  # A coded size may legitimately ask for a zero-filled member buffer of up
  # to 4 GiB. Such allocations are made to fail here (the library then
  # reports "Unable to allocate memory"), which keeps every input fast and
  # tests that path too.
  asan=""
  case $target in
    archive_fuzz) len=-max_len=40000; asan="allocator_may_return_null=1:max_allocation_size_mb=1024" ;;
    header_fuzz) len=-max_len=16384 ;;
    *) len=-max_len=1024 ;;
  esac
  ASAN_OPTIONS="$asan" "$build/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 $len \
      -artifact_prefix="$build/artifacts/$target-" "$work" "$seeds" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'Done [0-9]* runs' "$log" | tail -1)
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  if [ $rc -ne 0 ]; then
    echo "$target: FAILED (exit $rc) after ${execs:-?} inputs; see $log"
    grep -m 20 -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log"
    status=1
  else
    echo "$target: ${execs:-?} inputs in ${seconds}s, no crash (${runs:-})"
  fi
done
exit $status
