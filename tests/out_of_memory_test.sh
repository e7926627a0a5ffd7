#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Out of memory is a failure, never a short inventory.
#
# 1. One allocation fails: for every allocation a run makes on the sample
#    tree (counted by the failing_alloc preload), a run in which that one
#    allocation fails, in each form: the text form, --sessions, --json,
#    --prometheus, and --prometheus=FILE.  Each run must either print the
#    whole output (exit 0), or exit non-zero with a message on standard
#    error; none may die of a signal, and none may mount anything (the mount
#    check once took a mount table it could not read for one without sysfs,
#    and stacked a second sysfs over /sys).  A metrics file is whole after a
#    run that succeeded; after one that failed it is as it was, or counts
#    the objects that could not be read in iscsi_inventory_errors.
# 2. The address space is limited (prlimit --as), in steps across the band
#    where a run on a tree of 300 sessions loads but may not finish: the same
#    rule, in each form.  Left out, with a word, where the benchmarks' tree
#    generator is not built (MAKE_ISCSI_TREE empty).
#
# The trees are bind-mounted over /sys, as root in a private mount namespace
# (umockdev's own preload allocates, and would be failed too); skipped where
# that is not allowed.
#
# Both sweeps run whole when SYSFSREADER_SWEEPS=whole (make check-all, CI).
# Otherwise (make check) they take a sample: the first 100 allocations of
# each run (the program's start, the log, the first queries) and one in
# every seven after them, and the address space in steps of 128 KB.
# Usage: out_of_memory_test.sh TOOL PRELOAD MAKE_ISCSI_TREE SOURCE_DIR
set -euo pipefail
tool=$1 preload=$2 make_tree=$3 src=$4
# The failing allocator before whatever the test runs with (the stand-in
# device-mapper): every run of a form must ask the same device-mapper.
preload="$preload${LD_PRELOAD:+ $LD_PRELOAD}"

if [ "${OOM_TEST_INSIDE:-}" != 1 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: needs root (a private mount namespace with the trees bound over /sys)"
    exit 77
  fi
  work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
  if ! unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs "$1"' sh "$work" \
       > "$work/probe.err" 2>&1; then
    echo "SKIPPED: cannot make a private mount namespace here: $(head -1 "$work/probe.err")"
    exit 77
  fi
  mkdir "$work/sample" "$work/large"
  bash "$src/tests/data/make-sample-tree.sh" "$work/sample" > /dev/null
  if [ -n "$make_tree" ]; then "$make_tree" "$work/large" 300 > /dev/null; fi
  status=0
  OOM_TEST_INSIDE=1 OOM_WORK=$work unshare -m bash "$0" "$@" || status=$?
  exit "$status"
fi

# From here on, in the private namespace.
work=$OOM_WORK
mount --make-rprivate /
mounts=$(wc -l < /proc/self/mountinfo)
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Judges one run of form (its output in $dir/out, standard error in
# $dir/err, the metrics file, if any, in $dir/file.prom) against the whole
# output in $dir/whole.  what names the run in a failure.
judge() {
  local form=$1 dir=$2 status=$3 what=$4
  if [ "$(wc -l < /proc/self/mountinfo)" != "$mounts" ]; then
    fail "$what mounted something: $(tail -1 /proc/self/mountinfo)"
    umount /sys
    return
  fi
  local result=$dir/out
  [ "$form" = file ] && result=$dir/metrics/file.prom
  if [ "$status" -ge 128 ]; then
    fail "$what died of signal $((status - 128)): $(head -c 300 "$dir/err")"
  elif [ "$status" = 0 ]; then
    cmp -s "$result" "$dir/whole" ||
      fail "$what exited 0 with $(wc -c < "$result") of $(wc -c < "$dir/whole") bytes, other than the whole output"
  else
    [ -s "$dir/err" ] || fail "$what exited $status without a message"
    # A run that could not read everything may still replace the file, if
    # the metrics say so (the monitoring alerts on them).
    if [ "$form" = file ] && [ "$(cat "$result")" != old ] &&
       ! grep -q '^iscsi_inventory_errors [1-9]' "$result"; then
      fail "$what failed, and replaced the metrics file with one that reports no error"
    fi
  fi
  if [ "$form" = file ] && [ "$(ls -A "$dir/metrics")" != file.prom ]; then
    fail "$what left in the metrics directory: $(ls -A "$dir/metrics" | tr '\n' ' ')"
  fi
}

# Runs form once, under the command prefix given, in $dir.
run() {
  local form=$1 dir=$2
  shift 2
  local args=(--no-log)
  case $form in
    text) ;;
    file) args+=("--prometheus=$dir/metrics/file.prom"); echo old > "$dir/metrics/file.prom" ;;
    *) args+=("--$form") ;;
  esac
  (cd "$dir" && "$@" "$tool" "${args[@]}") > "$dir/out" 2> "$dir/err"
}

# The whole output of form, into $dir/whole; how many allocations it made
# into $dir/count.
whole() {
  local form=$1 dir=$2
  mkdir -p "$dir/metrics"
  run "$form" "$dir" env FAILING_ALLOC_COUNT="$dir/count" LD_PRELOAD="$preload"
  if [ "$form" = file ]; then cp "$dir/metrics/file.prom" "$dir/whole"; else cp "$dir/out" "$dir/whole"; fi
  [ -s "$dir/whole" ] || { echo "FAIL: the $form form printed nothing on its own" >&2; exit 1; }
}

sweep_allocations() {
  local form=$1 dir=$work/alloc-$1 status
  whole "$form" "$dir"
  local count
  count=$(cat "$dir/count")
  local step=7
  [ "${SYSFSREADER_SWEEPS:-}" != whole ] || step=1
  for ((at = 1; at <= count; at += (at < 100 ? 1 : step))); do
    status=0
    run "$form" "$dir" env FAILING_ALLOC_AT="$at" LD_PRELOAD="$preload" || status=$?
    judge "$form" "$dir" "$status" "$form with allocation $at of $count failing"
  done
  if [ "$step" = 1 ]; then echo "$form: $count allocations, each failed once"
  else echo "$form: $count allocations, the first 100 and one in $step after them failed once"; fi
  return $((failures > 0))
}

sweep_address_space() {
  local form=$1 dir=$work/as-$1 status kb
  whole "$form" "$dir"
  # From the lowest limit at which the program loads up to the lowest at
  # which it finishes.  Below the first, the loader refuses with a message,
  # or, lower still, the kernel cannot even map the program and its
  # libraries and ends it by SIGSEGV before it ran a line, having written
  # nothing.
  kb=1024
  while status=0; run "$form" "$dir" prlimit --as=$((kb * 1024)) || status=$?
        { [ "$status" = 127 ] && grep -q 'error while loading shared libraries' "$dir/err"; } ||
        { [ "$status" = 139 ] && [ ! -s "$dir/err" ] && [ ! -s "$dir/out" ]; }; do
    kb=$((kb + 256))
  done
  local low=$kb step=128
  [ "${SYSFSREADER_SWEEPS:-}" != whole ] || step=32
  while status=0; run "$form" "$dir" prlimit --as=$((kb * 1024)) || status=$?; [ "$status" != 0 ]; do
    judge "$form" "$dir" "$status" "$form under an address space of $kb KB"
    kb=$((kb + step))
    [ "$kb" -lt $((low + 65536)) ] || { fail "$form never finished under a limit"; return 1; }
  done
  judge "$form" "$dir" 0 "$form under an address space of $kb KB"
  local high=$kb
  echo "$form: address space limited from $low to $high KB"
  return $((failures > 0))
}

forms=(text sessions json prometheus file)
status=0
mount --bind "$work/sample/sys" /sys
mounts=$(wc -l < /proc/self/mountinfo)
# Two forms at a time: the sweeps are long, and independent.
for form in "${forms[@]}"; do
  sweep_allocations "$form" &
  if [ "$(jobs -rp | wc -l)" -ge 2 ]; then wait -n || status=1; fi
done
while [ "$(jobs -rp | wc -l)" -gt 0 ]; do wait -n || status=1; done
umount /sys
if [ -n "$make_tree" ]; then
  mount --bind "$work/large/sys" /sys
  mounts=$(wc -l < /proc/self/mountinfo)
  for form in "${forms[@]}"; do
    sweep_address_space "$form" || status=1
  done
  umount /sys
else
  echo "the address-space sweep is left out: the benchmarks' tree generator is not built"
fi
[ "$status" = 0 ] && [ "$failures" = 0 ] || { echo "FAIL: see above" >&2; exit 1; }
echo "PASS"
