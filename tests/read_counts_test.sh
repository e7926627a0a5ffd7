#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The joined forms read only what they show: on generated trees of 4 and 8
# sessions, strace counts the attribute files each form opens and its reads
# of the mount table; what 4 more sessions add must be what the field table
# (tool/walk/fields.h) says the form shows, file for file, and no read of
# the mount table at all.  The 4 more sessions are 2 single ones and a pair
# whose two disks a multipath map holds: 4 sessions, connections, hosts and
# disks, 2 reads of the map's dm/ (name, uuid) and one of the map itself.  Exits 77 (skip) where
# strace is missing and cannot be installed.
# Usage: read_counts_test.sh TOOL MAKE_ISCSI_TREE SOURCE_DIR
set -euo pipefail
tool=$1 make_tree=$2 src=$3
. "$src/tests/lib/optional-package.sh"
need_package strace "strace is not installed (make deps installs it)" command -v strace
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT

# Per object, the files of its fields each form shows, counted from the table:
#                   session connection host(+proc_name) disk block  dm/  map
# --sessions          19       9         3+1            2     1     2    0
# --luns, --summary,   5       3         0+1            5     3     2    1
#   --check
# --prometheus         6       3         0+1            7     3     2    1
# (block: size, and ro and dev where the form shows the map's own view of
# each path; map: the map's dev, read once however many paths it has.)
expected() {
    case $1 in
        --sessions) echo $((4 * (19 + 9 + 3 + 1) + 4 * (2 + 1) + 2 * 2)) ;;
        --prometheus) echo $((4 * (6 + 3 + 0 + 1) + 4 * (7 + 3) + 2 * 2 + 1)) ;;
        *) echo $((4 * (5 + 3 + 0 + 1) + 4 * (5 + 3) + 2 * 2 + 1)) ;;
    esac
}

"$make_tree" "$work/4" 4 >/dev/null
"$make_tree" "$work/8" 8 >/dev/null
# count SESSIONS FORM: "FILES MOUNT_READS" of one run.
count() {
    UMOCKDEV_DIR=$work/$1 strace -f -qq -e trace=open,openat -o "$work/trace" \
        umockdev-wrapper "$tool" "$2" --no-log >/dev/null || [ $? -le 2 ]
    # Attribute files are opened relative to their directory's descriptor.
    files=$(grep -v O_DIRECTORY "$work/trace" | grep -c '^[0-9]* *openat([0-9]*, "[^/"]*", .*= [0-9]' || true)
    mounts=$(grep -c '"/proc/[^"]*mounts"' "$work/trace" || true)
    echo "$files $mounts"
}
status=0
for form in --sessions --luns --summary --check --prometheus; do
    read -r files4 mounts4 < <(count 4 "$form")
    read -r files8 mounts8 < <(count 8 "$form")
    want=$(expected "$form")
    if [ $((files8 - files4)) != "$want" ]; then
        echo "FAIL: $form opens $((files8 - files4)) attribute files for 4 more sessions, not $want"
        status=1
    fi
    if [ "$mounts8" != "$mounts4" ]; then
        echo "FAIL: $form reads the mount table $((mounts8 - mounts4)) more times for 4 more sessions"
        status=1
    fi
    echo "$form: $((files8 - files4)) files for 4 sessions; mount table read $mounts8 times in all"
done
exit $status
