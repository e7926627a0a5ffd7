# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the shell tests that need a Debian package that is not among
# those make deps installs (or may be missing on a developer's machine).
#
# need_package PACKAGE WHY TEST_COMMAND...
#   Returns when TEST_COMMAND succeeds.  Otherwise, in CI as root, installs
#   PACKAGE with apt-get and tries again; when it still fails, prints
#   "SKIPPED: WHY" and exits 77, which ctest reports as a skip.
need_package() {
  local package=$1 why=$2
  shift 2
  "$@" >/dev/null 2>&1 && return 0
  if [ "${CI:-}" = true ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing $package"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$package"; } \
      >/dev/null 2>&1 || true
  fi
  "$@" >/dev/null 2>&1 && return 0
  echo "SKIPPED: $why"
  exit 77
}
