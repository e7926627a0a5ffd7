#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that tools/build-deb.sh built (in DIR, default
# build-deb/) with apt, as an administrator would, and checks them in use:
# the installed iscsi-inventory on the sample iSCSI tree seen at /sys through
# umockdev (its text and its metrics file), the metrics service and timer
# installed but not enabled, the installed sysfs-buses on this machine's PCI bus, and the
# example program built out of tree against the installed -dev package with
# CMake and with pkg-config, the facts script, and the documentation in
# /usr/share/doc/iscsi-inventory.  Then purges the packages with the command
# the README gives, checks that nothing of them is left behind and that a copy
# of the facts script left on the host reports the missing program as its
# facts; then installs the tool without the -dev package, as the README does,
# and purges it with the same command.  Needs root (or sudo); refuses to
# replace packages of ours that were installed before, except under CI.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
debs=$(cd "${1:-$top/build-deb}" && pwd)
packages=(libsysfsreader1 libsysfsreader-dev iscsi-inventory)
SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
export DEBIAN_FRONTEND=noninteractive

fail() { echo "FAIL: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }

# What the README tells an administrator to run, as it stands there; a README
# that says otherwise fails the check until the two agree.
readme_install='sudo apt-get install ./build-deb/libsysfsreader1_*.deb ./build-deb/iscsi-inventory_*.deb'
readme_purge='sudo apt-get purge libsysfsreader1'
for given in "$readme_install" "$readme_purge"; do
  grep -qxF -- "    $given" "$top/README.md" || fail "the README does not give '$given'"
done
# The README's purge, answered yes: it must work whichever of the packages are
# installed, and leave none of them known to dpkg.
readme_purge_run() {
  echo "== ${readme_purge#sudo }"
  local words p
  read -ra words <<<"${readme_purge#sudo }"
  $SUDO "${words[@]}" -y -qq >/dev/null
  for p in "${packages[@]}"; do
    if dpkg -s "$p" >/dev/null 2>&1; then fail "$p still known to dpkg after '$readme_purge'"; fi
  done
}

files=()
for p in "${packages[@]}"; do
  f=("$debs/${p}"_*.deb)
  if [ ! -e "${f[0]}" ] || [ "${#f[@]}" != 1 ]; then
    fail "expected one ${p}_*.deb in $debs (make deb)"
  fi
  files+=("${f[0]}")
  if installed "$p" && [ -z "${CI:-}" ]; then
    fail "$p is installed already; this check would replace and purge it (purge it first)"
  fi
done

work=$(mktemp -d)
# Purges whatever of ours dpkg still knows (installed or config-files).
purge() {
  local p known=()
  for p in "${packages[@]}"; do
    if dpkg -s "$p" >/dev/null 2>&1; then known+=("$p"); fi
  done
  [ "${#known[@]}" = 0 ] || $SUDO apt-get purge -y -qq "${known[@]}" >/dev/null
}
cleanup() { purge || true; rm -rf "$work"; }
trap cleanup EXIT

# Which of the paths the packages hold exist before they are installed:
# those (shared directories such as /usr/bin) may stay after the purge.
for f in "${files[@]}"; do dpkg-deb --fsys-tarfile "$f" | tar -t; done |
  sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^/\?$' | LC_ALL=C sort -u >"$work/contents"
while read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
done <"$work/contents" >"$work/existed"

echo "== apt-get install ${files[*]##*/}"
if ! $SUDO apt-get install -y -qq "${files[@]}" >"$work/apt.log" 2>&1; then
  cat "$work/apt.log"; fail "apt-get install"
fi
for p in "${packages[@]}"; do
  installed "$p" || fail "$p not installed"
  dpkg -L "$p" >"$work/$p.list"
done
cat "$work"/*.list | grep -vx "/\." | LC_ALL=C sort -u >"$work/installed"
for path in /usr/bin/iscsi-inventory /usr/bin/sysfs-buses /usr/include/sysfsreader/reader.h \
            /usr/share/iscsi-inventory/iscsi-inventory.rules.yml; do
  grep -qx "$path" "$work/installed" || fail "$path not in the packages"
done
for pattern in '/libsysfsreader\.so\.1$' '/libsysfsreader\.so$' '/pkgconfig/sysfsreader\.pc$' \
               '/cmake/sysfsreader/sysfsreaderConfig\.cmake$'; do
  grep -q "$pattern" "$work/installed" || fail "no $pattern in the packages"
done

echo "== installed iscsi-inventory on the sample tree"
tree=$work/sample
bash "$top/tests/data/make-sample-tree.sh" "$tree"
(cd "$tree" && UMOCKDEV_DIR=$tree umockdev-wrapper /usr/bin/iscsi-inventory) >"$work/inventory"
for line in 'NAME TRANSPORT CLASS  :: tcp' 'NAME TRANSPORT CLASS  :: be2iscsi' \
            'NAME SESSION CLASS :: session1' \
            'NAME SESSION CLASS :: session3' 'NAME CONNECTION CLASS :: connection2:0' \
            $'\ttargetname:: \tiqn.2003-01.org.linux-iscsi.target1'; do
  grep -qxF -- "$line" "$work/inventory" || { cat "$work/inventory"; fail "no line '$line'"; }
done
[ -s "$tree/SysReader.log" ] || fail "the installed tool wrote no trace"
echo "$(wc -l <"$work/inventory") lines, trace written"
# Where the installed manual documents --version, the tool must give the
# version it was packaged as.
# (grep without -q reads all of it: under pipefail zcat must not die of SIGPIPE)
if zcat /usr/share/man/man8/iscsi-inventory.8.gz | grep -E -- '(\\?-){2}version' >/dev/null; then
  version=$(dpkg-query -W -f='${Version}' iscsi-inventory)
  version=${version%-*}
  out=$(cd "$work" && /usr/bin/iscsi-inventory --version)
  echo "iscsi-inventory --version: $out"
  grep -qF "$version" <<<"$out" || fail "--version does not give $version"
fi

echo "== installed facts script on the sample tree"
# Copied as a host keeps it (in /etc/ansible/facts.d): the copy stays after
# the purge, below.
cp /usr/share/iscsi-inventory/iscsi_inventory.fact "$work/copied.fact"
mkdir "$work/facts-cwd"
(cd "$work/facts-cwd" && UMOCKDEV_DIR=$tree umockdev-wrapper "$work/copied.fact") >"$work/facts.json"
python3 - "$work/facts.json" <<'PY' || fail "the installed facts script on the sample tree"
import json, sys
facts = json.load(open(sys.argv[1]))
assert [s["name"] for s in facts["iscsi_session"]] == ["session1", "session2", "session3"], facts
assert facts["iscsi_session"][1]["attributes"]["password"] == "********"
PY
[ -z "$(ls -A "$work/facts-cwd")" ] || fail "the facts script wrote into the directory it ran in"
echo "== the metrics service and timer: installed, not enabled; the metrics they write"
for unit in iscsi-inventory-prometheus.service iscsi-inventory-prometheus.timer; do
  grep -qE "^(/usr)?/lib/systemd/system/$unit\$" "$work/installed" || fail "no $unit in the package"
  if ls /etc/systemd/system/*.wants/"$unit" >/dev/null 2>&1; then fail "$unit is enabled"; fi
done
service=$(grep -E '/systemd/system/iscsi-inventory-prometheus\.service$' "$work/installed")
grep -q '^ExecStart=/usr/bin/iscsi-inventory --prometheus=/var/lib/prometheus/node-exporter/' \
  "$service" || fail "the service does not run the installed tool"
(cd "$tree" && UMOCKDEV_DIR=$tree umockdev-wrapper /usr/bin/iscsi-inventory --no-log \
  --prometheus="$work/metrics.prom")
grep -qxF 'iscsi_session_disks{session="session2"} 2' "$work/metrics.prom" ||
  { cat "$work/metrics.prom"; fail "no metrics for the sample's session2"; }
echo "units installed and not enabled; $(grep -c '^iscsi_' "$work/metrics.prom") samples written"

echo "== the documentation"
doc=/usr/share/doc/iscsi-inventory
# dh_compress compresses the larger documents.
if [ -f "$doc/README.md.gz" ]; then readme=$(zcat "$doc/README.md.gz"); else readme=$(cat "$doc/README.md"); fi ||
  fail "no README in $doc"
[ "$readme" = "$(cat "$top/README.md")" ] || fail "the README in $doc is not this one"
[ "$(readlink -f "$doc/iscsi-inventory.rules.yml")" = /usr/share/iscsi-inventory/iscsi-inventory.rules.yml ] ||
  fail "$doc/iscsi-inventory.rules.yml does not lead to the installed rules"
# The examples, and the documents of docs/ beside the README; each file the
# README links to is there.
for example in "$top"/docs/examples/* "$top"/docs/*.md; do
  case $example in
    */examples/*) name=$doc/examples/${example##*/} ;;
    *) name=$doc/docs/${example##*/} ;;
  esac
  if [ -f "$name.gz" ]; then cmp -s "$example" <(zcat "$name.gz") || fail "$name.gz differs from $example"
  else cmp -s "$example" "$name" || fail "$name is not $example"; fi
done
for link in $(grep -o '](docs/[^)#]*' "$top/README.md" | cut -c3- | sort -u); do
  [ -e "$doc/$link" ] || [ -e "$doc/$link.gz" ] || fail "the README links to $link, which $doc lacks"
done
(cd "$doc" && echo * examples/* docs/*)

echo "== installed sysfs-buses pci"
/usr/bin/sysfs-buses pci >"$work/buses"
head -n1 "$work/buses"
grep -qE '^pci: [0-9]+ devices$' "$work/buses" || fail "sysfs-buses pci: $(head -n1 "$work/buses")"

echo "== the example against the installed -dev package"
"$top/tools/check-install.sh" --prefix /usr >/dev/null
echo "built with CMake and with pkg-config, both run"

# The host's baseline: saved without a file name where the package keeps it,
# read by a check without --baseline, and gone with the purge.
(cd "$tree" && $SUDO env UMOCKDEV_DIR="$tree" umockdev-wrapper /usr/bin/iscsi-inventory --no-log \
  --save-baseline) >"$work/saved" || fail "--save-baseline into the package's state directory failed"
grep -q "^Saved the baseline '/var/lib/iscsi-inventory/baseline.json': " "$work/saved" ||
  fail "--save-baseline did not save /var/lib/iscsi-inventory/baseline.json: $(cat "$work/saved")"
status=0
(cd "$tree" && $SUDO env UMOCKDEV_DIR="$tree" umockdev-wrapper /usr/bin/iscsi-inventory --no-log \
  --check) >"$work/checked" || status=$?
if head -n1 "$work/checked" | grep -q '; no baseline'; then fail "--check did not read the saved baseline"; fi
# The metrics file the service writes goes with the package: left behind, the
# collector would serve its last values for ever.
textfile=/var/lib/prometheus/node-exporter
if [ -d "$textfile" ]; then
  (cd "$tree" && $SUDO env UMOCKDEV_DIR="$tree" umockdev-wrapper /usr/bin/iscsi-inventory --no-log \
    --prometheus="$textfile/iscsi_inventory.prom") || fail "the service's command failed"
fi
readme_purge_run
if [ -e "$textfile/iscsi_inventory.prom" ]; then fail "the purge left $textfile/iscsi_inventory.prom"; fi
if [ -e /var/lib/iscsi-inventory ]; then fail "the purge left /var/lib/iscsi-inventory"; fi
# Nothing of the packages may be left, but the directories that were there
# before them.
nothing_left() {
  local path left=0
  while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    # (/lib, a link to usr/lib on a merged /usr, holds the systemd units.)
    grep -qxF -- "$path" "$work/existed" && [ -d "$path" ] && continue
    echo "left behind: $path"; left=1
  done <"$work/installed"
  [ "$left" = 0 ] || fail "files of the packages are left after the purge"
}
nothing_left

echo "== the facts script's copy after the purge"
# Where no other iscsi-inventory is installed, the copy reports the missing
# program in its facts, and exits 0 so that Ansible does not warn.
(cd "$work/facts-cwd" && "$work/copied.fact") >"$work/leftover.json" ||
  fail "the facts script's copy exits $? without the program"
other=$(PATH=$PATH:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin command -v iscsi-inventory || true)
python3 - "$work/leftover.json" "$other" <<'PY' || fail "the facts script's copy after the purge"
import json, sys
facts = json.load(open(sys.argv[1]))
assert isinstance(facts, dict), facts
if not sys.argv[2]:
    assert facts["program"] is None and "not installed" in facts["error"], facts
print(facts.get("error", "another iscsi-inventory answers: " + sys.argv[2]))
PY

echo "== the README's install, without the -dev package, and its purge"
# The command the README gives, with this check's package directory.
read -ra words <<<"${readme_install#sudo }"
install=()
for word in "${words[@]}"; do
  # The README's glob expands here.
  # shellcheck disable=SC2206
  case $word in
    ./build-deb/*) install+=("$debs"/${word#./build-deb/}) ;;
    *) install+=("$word") ;;
  esac
done
if ! $SUDO "${install[@]}" -y -qq >"$work/apt.log" 2>&1; then
  cat "$work/apt.log"; fail "${readme_install#sudo }"
fi
for p in libsysfsreader1 iscsi-inventory; do
  installed "$p" || fail "the README's install did not install $p"
done
if installed libsysfsreader-dev; then fail "the README's install brought libsysfsreader-dev"; fi
readme_purge_run
nothing_left
echo "== packages installed, used and purged without a trace"
