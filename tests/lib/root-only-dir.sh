# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the tests that plant programs for the facts script.  Run as
# root, the script runs only a program that root alone can replace, so their
# scratch directory must not lie under a directory others can write (/tmp is
# one: mode 1777).
#
# root_only DIR: true when DIR and every directory above it belong to root
#   and no group or other user can write them.
# scratch_dir: prints a new scratch directory: under the first of $TMPDIR,
#   /tmp, /run and /root that is root_only when running as root, under
#   $TMPDIR or /tmp otherwise (or as root when none is).
root_only() {
  local dir
  dir=$(readlink -f -- "$1") || return 1
  while :; do
    local owner mode
    read -r owner mode < <(stat -c '%u %a' -- "$dir") || return 1
    [ "$owner" = 0 ] && (( (8#$mode & 8#022) == 0 )) || return 1
    [ "$dir" != / ] || return 0
    dir=$(dirname -- "$dir")
  done
}

scratch_dir() {
  local base
  if [ "$(id -u)" = 0 ]; then
    for base in "${TMPDIR:-/tmp}" /tmp /run /root; do
      if [ -d "$base" ] && root_only "$base"; then mktemp -d -p "$base"; return; fi
    done
  fi
  mktemp -d
}
