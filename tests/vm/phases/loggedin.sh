# SPDX-License-Identifier: MIT
# Sourced by the test VM's init (tests/vm/init.sh), which provides section,
# run, waitfor, fatal, send, say, centiseconds and $C (LIO's configfs).
# Both sessions logged in: the programs between two dumps.
run loggedin
