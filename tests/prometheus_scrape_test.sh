#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A real scrape: iscsi-inventory --prometheus=FILE writes the metrics of the
# hostile tree (make-hostile-tree.sh: the sample's sessions and one whose
# labels need escaping and carrying) into a textfile directory, Debian's
# prometheus-node-exporter reads it with the textfile collector alone, on
# 127.0.0.1 at a free port, and its /metrics must hold the iscsi families
# and no scrape error.  The exporter is stopped on the way out.  Exits 77
# (skip) where it is missing and cannot be installed (CI installs it as root).
# Usage: prometheus_scrape_test.sh TOOL SOURCE_DIR
set -euo pipefail
tool=$1 src=$2
exporter=/usr/bin/prometheus-node-exporter
. "$src/tests/lib/optional-package.sh"
need_package prometheus-node-exporter "prometheus-node-exporter is not installed (make deps installs it)" test -x "$exporter"
work=$(mktemp -d)
pid=
stop() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap stop EXIT
bash "$src/tests/data/make-hostile-tree.sh" "$work"
mkdir "$work/textfile"
(cd "$work" && UMOCKDEV_DIR="$work" umockdev-wrapper "$tool" --no-log \
  --prometheus="$work/textfile/iscsi_inventory.prom")
[ "$(ls -A "$work/textfile")" = iscsi_inventory.prom ] || { ls -la "$work/textfile"; exit 1; }

# A port free a moment ago; another try if someone takes it in between.
scrape=$work/metrics
for attempt in 1 2 3; do
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  "$exporter" --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$work/textfile" \
    >"$work/exporter.log" 2>&1 &
  pid=$!
  # Ready within ten seconds or never.
  if python3 - "$port" "$scrape" <<'PY'
import sys, time, urllib.request
port, out = sys.argv[1], sys.argv[2]
for _ in range(50):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=2) as r:
            open(out, "wb").write(r.read())
        sys.exit(0)
    except OSError:
        time.sleep(0.2)
sys.exit(1)
PY
  then break; fi
  kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; pid=
done
[ -s "$scrape" ] || { cat "$work/exporter.log"; echo "FAIL: no scrape from the exporter" >&2; exit 1; }

fail() { echo "FAIL: $*" >&2; grep -E '^(node_textfile|iscsi_)' "$scrape" >&2 || true; exit 1; }
grep -qx 'node_textfile_scrape_error 0' "$scrape" || fail "the collector reports a scrape error"
for family in iscsi_session_info iscsi_session_state iscsi_connection_state \
              iscsi_session_recovery_timeout_seconds iscsi_session_disks iscsi_disk_info \
              iscsi_disk_io_errors_total iscsi_disk_io_timeouts_total iscsi_inventory_errors; do
  grep -q "^# TYPE $family " "$scrape" || fail "no family $family"
done
sessions=$(grep -c '^iscsi_session_info{' "$scrape" || true)
[ "$sessions" = 4 ] || fail "$sessions sessions scraped, not 4"
grep -qx 'iscsi_inventory_errors 0' "$scrape" || fail "no iscsi_inventory_errors 0"
echo "node_exporter scraped the metrics file: 4 sessions, no scrape error"
