#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The inventory on a real kernel iSCSI stack: boots Debian's current kernel in
# a qemu VM (TCG, no network card), where an LIO target and the open-iscsi
# initiator log in over 127.0.0.1, runs iscsi-inventory and sysfs-buses there
# against an independent dump of the same sysfs objects, and checks the
# results on the host (vm-check).  One session logs in with mutual CHAP: its
# secrets, which sysfs shows to root, must stay out of every output, trace log
# and fact but those of --show-secrets.  vm-chap-probe (tests/vm/chap_probe.cpp)
# and the facts script go into the VM with the two programs.  One LUN is
# logged in through two portals and assembled by multipath-tools (with udevd
# for that phase; tests/vm/phase-multipath.sh); its --json and --prometheus
# outputs are checked on the host with the schema and promtool as well
# (check-formats.sh).  Nothing is installed into the host's boot setup: the
# kernel, busybox, open-iscsi, multipath-tools and udev are downloaded with
# apt-get download and unpacked with dpkg-deb -x into BUILD/vm.
#
# usage: tests/vm/run.sh [BUILD_DIR]
# Prints "VM TEST SKIPPED: <reason>" and exits 0 where the test cannot run
# here (no qemu, archive unreachable); exits 1 with a message when it fails.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$build/vm
LOGIN_LIMIT=${VM_LOGIN_LIMIT:-240}   # seconds until both sessions are logged in
TOTAL_LIMIT=${VM_TOTAL_LIMIT:-540}   # seconds for the whole VM run
CHURN_RUNS=${VM_CHURN_RUNS:-60}      # runs of both programs in the churn phase
SAN_LUNS=${VM_SAN_LUNS:-64}          # LUNs on each of the four SAN targets

skip() { echo "VM TEST SKIPPED: $*"; exit 0; }
fail() { echo "VM TEST FAILED: $*" >&2; exit 1; }
step() { echo "== vm: $*"; }

for program in tool/iscsi-inventory examples/sysfs-buses/sysfs-buses tests/vm-check tests/vm-chap-probe; do
    [ -x "$build/$program" ] || fail "$build/$program is not built"
done

# Host tools: qemu, kmod (depmod, modprobe --show-depends) and cpio.
missing=()
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
command -v depmod >/dev/null || missing+=(kmod)
command -v cpio >/dev/null || missing+=(cpio)
# And for the multipath phase's outputs: promtool, python3-jsonschema.
command -v promtool >/dev/null || missing+=(prometheus)
python3 -c 'import jsonschema' 2>/dev/null || /usr/bin/python3 -c 'import jsonschema' 2>/dev/null ||
    missing+=(python3-jsonschema)
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" = 0 ] || skip "needs ${missing[*]} and root to install them"
    step "installing ${missing[*]}"
    (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 \
        --no-install-recommends "${missing[@]}") >/dev/null 2>&1 ||
        skip "cannot install ${missing[*]} (package archive unreachable?)"
fi

rm -rf "$work"
mkdir -p "$work/debs" "$work/root" "$work/initramfs"

# The kernel that linux-image-amd64 points to today.
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null |
                   awk '/Depends: linux-image-[0-9]/ { print $2; exit }'; }
package=$(kernel_package)
if [ -z "$package" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    package=$(kernel_package)
fi
[ -n "$package" ] || skip "cannot resolve linux-image-amd64 (package archive unreachable?)"
version=${package#linux-image-}
step "kernel $version"

packages=("$package" busybox-static open-iscsi libisns0 libopeniscsiusr libkmod2 libssl3
          multipath-tools libaio1 libdevmapper1.02.1 libjson-c5 liburcu8 libudev1 libsystemd0 dmsetup
          udev libacl1 libblkid1 libcap2 libselinux1)
(cd "$work/debs" && apt-get download "${packages[@]}") >"$work/download.log" 2>&1 ||
    skip "cannot download ${packages[*]} (package archive unreachable?)"
for deb in "$work"/debs/*.deb; do
    dpkg-deb -x "$deb" "$work/root"
done
root=$work/root
ir=$work/initramfs
kernel=$root/boot/vmlinuz-$version
[ -f "$kernel" ] || fail "no kernel image in $package"

step "building the initramfs"
# Modules with their dependencies, in load order (the package has no modules.dep).
depmod -b "$root" "$version"
mkdir -p "$ir/lib/modules"
# modules LIST MODULE...: copies the modules with their dependencies into the
# initramfs and lists them in load order in LIST, less those already listed
# in the lists named by SKIP.
modules() {
    local list=$1; shift
    for module in "$@"; do
        modprobe -d "$root" -S "$version" --show-depends "$module" ||
            fail "module $module not found in $package"
    done | awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' |
    while read -r path; do
        relative=${path#"$root/lib/modules/"}
        [ -n "${SKIP:-}" ] && grep -qx "$relative" $SKIP && continue
        mkdir -p "$ir/lib/modules/$(dirname "$relative")"
        cp "$path" "$ir/lib/modules/$relative"
        echo "$relative"
    done > "$list"
}
modules "$ir/modules.list" configfs target_core_mod target_core_file iscsi_target_mod scsi_transport_iscsi \
        libiscsi libiscsi_tcp iscsi_tcp sd_mod crc32c_generic
# The multipath phase loads device-mapper's multipath target, its path
# selectors and the ALUA handler the LIO LUN asks for, and unloads them again.
SKIP="$ir/modules.list" modules "$ir/modules-multipath.list" dm_multipath dm_round_robin \
        dm_service_time scsi_dh_alua

mkdir -p "$ir/bin" "$ir/sbin" "$ir/usr/bin" "$ir/lib/x86_64-linux-gnu" "$ir/lib64" \
         "$ir/etc/iscsi" "$ir/proc" "$ir/sys" "$ir/dev" "$ir/run" "$ir/tmp" "$ir/var/lib/iscsi" \
         "$ir/usr/share/iscsi-inventory"
cp "$root/bin/busybox" "$ir/bin/busybox"
cp "$here/init.sh" "$ir/init"
cp "$here/dump-sysfs.sh" "$ir/bin/dump-sysfs"
cp "$here/phase-multipath.sh" "$ir/phase-multipath.sh"
chmod 755 "$ir/init" "$ir/bin/dump-sysfs"
cp "$root/sbin/iscsid" "$root/sbin/iscsiadm" "$root/sbin/multipath" "$root/sbin/dmsetup" "$ir/sbin/"
# multipath's path checkers and prioritizers, loaded by name at run time;
# udevd (as systemd-udevd: it is udevadm by another name) with the rules
# that name disks by WWID and path, and their scsi_id.
mkdir -p "$ir/lib/multipath" "$ir/lib/udev/rules.d"
cp "$root"/lib/multipath/*.so "$ir/lib/multipath/"
cp "$root/bin/udevadm" "$ir/sbin/"
ln -s udevadm "$ir/sbin/systemd-udevd"
cp "$root/lib/udev/scsi_id" "$ir/lib/udev/"
cp "$root/lib/udev/rules.d/60-persistent-storage.rules" "$ir/lib/udev/rules.d/"
cp "$build/tool/iscsi-inventory" "$build/examples/sysfs-buses/sysfs-buses" \
   "$build/tests/vm-chap-probe" "$ir/usr/bin/"
# The facts script as installing writes it, for the program in /usr/bin (it
# stays out of usr/bin: only binaries go through ldd below).
fact=$ir/usr/share/iscsi-inventory/iscsi_inventory.fact
sed 's|@ISCSI_INVENTORY_PROGRAM@|/usr/bin/iscsi-inventory|g' "$here/../../tool/iscsi_inventory.fact.in" > "$fact"
chmod 755 "$fact"
# Every library those binaries load, the downloaded ones first.
export LD_LIBRARY_PATH="$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu:$root/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
for binary in "$ir"/sbin/* "$ir"/usr/bin/*; do
    if ldd "$binary" | grep -q "not found"; then
        fail "$(basename "$binary") needs libraries not found: $(ldd "$binary" | grep 'not found' | tr -s ' \n' ' ')"
    fi
    ldd "$binary" | awk '/=> \// { print $3 } /^[ \t]*\/lib64\// { print $1 }'
done | sort -u | while read -r library; do
    case $library in
        */ld-linux-x86-64.so.2) cp -L "$library" "$ir/lib64/ld-linux-x86-64.so.2" ;;
        *) cp -L "$library" "$ir/lib/x86_64-linux-gnu/" ;;
    esac
done
unset LD_LIBRARY_PATH
cat > "$ir/etc/iscsi/iscsid.conf" <<'CONF'
# iscsid is started by the test's init; nothing may call systemctl.
iscsid.startup = /bin/true
node.startup = manual
node.session.auth.authmethod = None
CONF
echo "InitiatorName=iqn.1993-08.org.debian:01:vm-initiator" > "$ir/etc/iscsi/initiatorname.iscsi"
echo "root:x:0:0:root:/:/bin/sh" > "$ir/etc/passwd"
echo "root:x:0:" > "$ir/etc/group"
(cd "$ir" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initrd.img"

step "booting (TCG; login expected within $LOGIN_LIMIT s)"
results=$work/results.txt
console=$work/console.log
: > "$results"
qemu-system-x86_64 -accel tcg -m 1536 -smp 1 -no-reboot \
    -display none -monitor none -nic none \
    -kernel "$kernel" -initrd "$work/initrd.img" \
    -append "console=ttyS0 panic=-1 loglevel=4 vmtest.churn_runs=$CHURN_RUNS vmtest.san_luns=$SAN_LUNS" \
    -serial "file:$console" -serial "file:$results" &
qemu=$!
trap 'kill "$qemu" 2>/dev/null || true; wait "$qemu" 2>/dev/null || true' EXIT

started=$SECONDS
logged_in=
chap_started='' chapped='' multipathed='' churn_started='' churned='' san_started=''
while kill -0 "$qemu" 2>/dev/null; do
    elapsed=$((SECONDS - started))
    if grep -q "^==== FATAL" "$results"; then
        break
    fi
    if [ -z "$logged_in" ] && grep -q "^==== LOGGEDIN" "$results"; then
        logged_in=$elapsed
        step "logged in after ${elapsed} s"
    fi
    if [ -z "$chap_started" ] && grep -q "^==== BEGIN chap " "$results"; then
        chap_started=$elapsed
        step "chap phase from ${elapsed} s"
    fi
    if [ -z "$chapped" ] && grep -q "^==== CHAPPED" "$results"; then
        chapped=$elapsed
        step "chap phase took $(grep -m 1 '^==== CHAPPED' "$results" | cut -c17-) (done by ${elapsed} s)"
    fi
    if [ -z "$multipathed" ] && grep -q "^==== MULTIPATHED" "$results"; then
        multipathed=$elapsed
        step "multipath phase took $(grep -m 1 '^==== MULTIPATHED' "$results" | cut -c21-)" \
             "(a path's FAILED shown $(grep -m 1 '^==== MPFAILED' "$results" | cut -d' ' -f4-7 || true)); done by ${elapsed} s"
    fi
    if [ -z "$churn_started" ] && grep -q "^==== BEGIN churn dump-0" "$results"; then
        churn_started=$elapsed
        step "churn phase from ${elapsed} s"
    fi
    if [ -z "$churned" ] && grep -q "^==== CHURNED" "$results"; then
        churned=$elapsed
        step "$(grep -m 1 '^==== CHURNED' "$results" | cut -c6-) by ${elapsed} s"
    fi
    if [ -z "$san_started" ] && grep -q "^==== BEGIN san dump-before" "$results"; then
        san_started=$elapsed
        step "SAN logged in after ${elapsed} s"
    fi
    if [ -z "$logged_in" ] && [ "$elapsed" -ge "$LOGIN_LIMIT" ]; then
        tail -n 30 "$console" >&2 || true
        fail "the VM did not log in within $LOGIN_LIMIT s (console: $console)"
    fi
    if [ "$elapsed" -ge "$TOTAL_LIMIT" ]; then
        tail -n 30 "$console" >&2 || true
        fail "the VM did not finish within $TOTAL_LIMIT s (console: $console)"
    fi
    grep -q "^==== DONE" "$results" && break
    sleep 1
done
# The VM powers itself off after DONE or FATAL.
for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$qemu" 2>/dev/null || break; sleep 1; done
if grep -q "^==== FATAL" "$results"; then
    tail -n 30 "$console" >&2 || true
    fail "$(grep '^==== FATAL' "$results" | head -n 1 | cut -c6-) (console: $console)"
fi
grep -q "^==== DONE" "$results" || { tail -n 30 "$console" >&2 || true; fail "the VM stopped before finishing (console: $console)"; }
step "VM run took $((SECONDS - started)) s; checking"
"$build/tests/vm-check" "$results" || fail "the results do not match (see above; raw results: $results)"
"$here/mutate.sh" "$results" "$build/tests/vm-check" || fail "vm-check let changed results pass (see above)"
"$here/check-formats.sh" "$results" "$here/../.." || fail "the multipath phase's --json or --prometheus output is malformed (see above)"
