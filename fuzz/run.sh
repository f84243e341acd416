#!/usr/bin/env bash
# Runs every fuzz program for SECONDS on its seed corpus and fails on the
# first crash (the crashing input is left in BUILD_DIR/artifacts).
# Usage: bash fuzz/run.sh BUILD_DIR SECONDS
set -u
build=$(cd "$1" && pwd) seconds=${2:-60} src=$(cd "$(dirname "$0")" && pwd) status=0
# A coded size may ask for a member buffer of up to 4 GiB: such allocations
# fail here (the library reports it), which keeps every input fast.
export ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1024
for target in archive_fuzz:40000 header_fuzz:16384 cmdline_fuzz:1024; do
  name=${target%:*} log=$build/${target%:*}.log
  mkdir -p "$build/corpus/$name" "$build/artifacts"
  if "$build/$name" -max_total_time="$seconds" -max_len="${target#*:}" -timeout=10 \
      -rss_limit_mb=2048 -artifact_prefix="$build/artifacts/$name-" "$build/corpus/$name" \
      "$src/corpus/${name%_fuzz}" >"$log" 2>&1; then
    echo "$name: $(grep -o 'Done [0-9]* runs' "$log" | tail -1) in ${seconds}s, no crash"
  else
    echo "$name: FAILED, see $log"
    grep -m 20 -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log"
    status=1
  fi
done
exit $status
