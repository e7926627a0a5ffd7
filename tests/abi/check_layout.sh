#!/usr/bin/env bash
# Compares the ABI of the shared library as its debug information describes
# it (the exported functions with their parameter and return types, and every
# type they reach: CSysfsReader's size and data members, BusType's values,
# the maps) with the baseline kept beside this script, through libabigail's
# abidw and abidiff.  Any difference fails, a compatible one included (a new
# exported function): like the list of exported symbols, the baseline changes
# in the same commit as the ABI, on purpose.
#     check_layout.sh LIBRARY BASELINE             compare (exit 77: skipped)
#     check_layout.sh --update LIBRARY BASELINE    rewrite BASELINE from LIBRARY
#     check_layout.sh --skip REASON                skips, saying why
# make abi-baseline runs --update on the build of make check.
set -euo pipefail

if [ "${1:-}" = --skip ]; then
    echo "SKIPPED: ${2:?usage: check_layout.sh --skip REASON}"
    exit 77
fi
update=no
if [ "${1:-}" = --update ]; then
    update=yes
    shift
fi
lib=${1:?usage: check_layout.sh [--update] LIBRARY BASELINE}
baseline=${2:?usage: check_layout.sh [--update] LIBRARY BASELINE}

for tool in abidw abidiff readelf; do
    if ! command -v "$tool" >/dev/null; then
        # CI must compare, not skip: there a missing tool is a failure.
        if [ "$update" = no ] && [ "${CI:-}" != true ]; then
            echo "SKIPPED: $tool is not installed (abigail-tools, binutils; make deps installs them)"
            exit 77
        fi
        echo "FAIL: $tool is not installed (abigail-tools, binutils; make deps installs them)"
        exit 1
    fi
done

# The baseline describes what g++ (the compiler of the Debian packages) writes:
# clang describes the same destructor differently, and a build without debug
# information describes no type at all.
producer=$(readelf --debug-dump=info "$lib" 2>/dev/null | grep -m1 'DW_AT_producer' || true)
reason=""
if [ -z "$producer" ]; then
    reason="$lib has no debug information (build with -g: RelWithDebInfo or Debug)"
elif ! grep -q 'GNU C++' <<<"$producer"; then
    reason="$lib was not compiled by g++, which the baseline describes"
elif grep -q -e '-fsanitize' <<<"$producer"; then
    reason="$lib is instrumented by a sanitizer: not the library that is installed"
fi
if [ -n "$reason" ]; then
    if [ "$update" = yes ]; then
        echo "FAIL: no baseline from $reason" >&2
        exit 1
    fi
    echo "SKIPPED: $reason"
    exit 77
fi

# Nothing of the build's whereabouts or of the optimiser's choices: only what
# the exported symbols reach (not the internal helpers, which -O2 inlines and
# -O0 keeps), no corpus, compilation directory or source lines, no machine
# (one per baseline anyway), not what the library imports or needs; type ids
# hashed from the types, so that a refreshed baseline differs from the old
# one where the ABI does rather than renumbered throughout.  The sources'
# paths (of the translation units) are cut to the part below the checkout.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
abidw --exported-interfaces-only --no-corpus-path --no-comp-dir-path --no-show-locs \
      --no-architecture --drop-undefined-syms --no-elf-needed --type-id-style hash \
      --out-file "$work/raw.abi" "$lib"
sed -E "s|path='[^']*/(reader/[^']*)'|path='\\1'|" "$work/raw.abi" >"$work/current.abi"

# What the comparison stands on: the class with its one data member.  Were
# the debug information or abidw's options to lose it, both sides would be
# equally empty and any layout would pass.
class="<class-decl name='CSysfsReader' size-in-bits="
if ! grep -q "$class" "$work/current.abi" || ! grep -q "name='m_pLog'" "$work/current.abi"; then
    echo "FAIL: abidw describes no CSysfsReader with its data member m_pLog in $lib"
    exit 1
fi

if [ "$update" = yes ]; then
    cp "$work/current.abi" "$baseline"
    echo "wrote $baseline from $lib"
    exit 0
fi

status=0
abidiff --no-architecture "$baseline" "$work/current.abi" >"$work/report" 2>&1 || status=$?
if [ "$status" = 0 ]; then
    # The same comparison must see a change of that layout: the baseline with
    # the class one pointer larger, as if a member had been added, differs.
    awk -v c="$class'" '{
             i = index($0, c)
             if (i) {
                 head = substr($0, 1, i + length(c) - 1)
                 rest = substr($0, i + length(c))
                 bits = rest + 0
                 $0 = head (bits + 64) substr(rest, length(bits "") + 1)
             }
             print
         }' "$baseline" >"$work/grown.abi"
    grownStatus=0
    abidiff --no-architecture "$work/grown.abi" "$work/current.abi" >"$work/grown.report" 2>&1 ||
        grownStatus=$?
    if [ $((grownStatus & 4)) = 0 ] || ! grep -q 'type size changed' "$work/grown.report"; then
        cat "$work/grown.report"
        echo "FAIL: abidiff (status $grownStatus) does not report CSysfsReader grown in a copy of"
        echo "$baseline: the comparison could not catch a change of its layout"
        exit 1
    fi
    echo "ABI of $lib matches $baseline"
    exit 0
fi
cat "$work/report"
# abidiff's status is a bit set: 1 an error, 2 a usage error, 4 a change, 8 an
# incompatible change (something removed).
if [ $((status & 3)) != 0 ]; then
    echo "FAIL: abidiff could not compare (status $status)"
else
    echo "FAIL: the ABI of $lib differs from $baseline (above)."
    echo "CSysfsReader's layout is frozen for SONAME 1; an exported function's signature"
    echo "changes only with a new SONAME.  If the change is meant and compatible (a new"
    echo "function), refresh the baseline with make abi-baseline in the same commit."
fi
exit 1
