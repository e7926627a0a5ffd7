# SPDX-License-Identifier: MIT
# Sourced by the test VM's init (tests/vm/init.sh), which provides section,
# run, waitfor, fatal, send, say, centiseconds and $C (LIO's configfs).
# Both sessions logged in: the programs between two dumps; then a copy of
# the objects for the host's tests (tests/vm/take-copy.sh), with what the
# tool prints as JSON on them at the same moment.
run loggedin
section loggedin copy-json iscsi-inventory --json --no-log
section loggedin copy /bin/copy-sysfs
