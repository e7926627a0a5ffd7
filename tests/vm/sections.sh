# SPDX-License-Identifier: MIT
# Sourced by the host's readers of a VM run's results (check-formats.sh,
# take-copy.sh), which set $results to the file.
# section NAME: the lines between "==== BEGIN NAME" and its "==== END"; fails
# when there is no such section.
section() {
    awk -v begin="==== BEGIN $1" '
        $0 == begin { inside = 1; found = 1; next }
        inside && /^==== END / { inside = 0 }
        inside { print }
        END { exit found ? 0 : 1 }' "$results"
}
