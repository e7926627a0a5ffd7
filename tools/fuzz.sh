#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs each libFuzzer harness of a fuzz build for a bounded time:
#   tools/fuzz.sh BUILD_DIR SECONDS
# Each harness starts from a scratch copy of its seed corpus in the build
# directory, so the run never writes into the repository's corpus; what it
# finds stays in BUILD_DIR/fuzz/corpus/NAME, crashes in BUILD_DIR/fuzz/artifacts.
set -eu
build=$1
seconds=${2:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
work=$build/fuzz
mkdir -p "$work/artifacts"
# Long enough for contents over a page, so the page bound is exercised.
max_len=8192
status=0
for name in pci scsi attr json_string json_read; do
  harness=$build/tests/fuzz/fuzz_$name
  corpus=$work/corpus/$name
  rm -rf "$corpus"
  mkdir -p "$corpus"
  cp "$src/tests/fuzz/corpus/$name/." "$corpus/" -R
  run=""
  # The attribute harness reads its inputs back through a fabricated tree;
  # the umockdev preload comes before the sanitizer runtime.
  [ "$name" = attr ] && run=umockdev-wrapper
  echo "fuzz_$name: $seconds s"
  if ! ASAN_OPTIONS=verify_asan_link_order=0 $run "$harness" -max_total_time="$seconds" \
      -max_len=$max_len -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/$name-" "$corpus" >"$work/$name.log" 2>&1; then
    echo "fuzz_$name FAILED; see $work/$name.log and $work/artifacts" >&2
    tail -n 30 "$work/$name.log" >&2
    status=1
  else
    grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units)' "$work/$name.log" | tail -n 2
  fi
done
exit $status
