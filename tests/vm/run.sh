#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The inventory on real kernel iSCSI stacks: boots each of Debian's kernel
# series (the current one that linux-image-amd64 points to, and 6.12 from
# linux-image-6.12-amd64), one after the other, in a qemu VM (TCG, no network
# card), where an LIO target and the open-iscsi initiator log in over
# 127.0.0.1 (and over iSER on soft RoCE), runs iscsi-inventory and
# sysfs-buses there against an independent dump of the same sysfs objects,
# phase after phase (tests/vm/phases, see init.sh), and checks the results
# on the host (vm-check), for each kernel.  One session logs in with mutual
# CHAP: its secrets, which sysfs shows to root, must stay out of every
# output, trace log and fact but those of --show-secrets.  vm-chap-probe
# (tests/vm/chap_probe.cpp) and the facts script go into the VM with the two
# programs.  One LUN is logged in through two portals and assembled by
# multipath-tools (with udevd for that phase alone); its --json and
# --prometheus outputs are checked on the host with the schema and promtool
# as well (check-formats.sh), and its --luns, metrics and --check before and
# after one path fails, in the device-mapper alone (dmsetup) and with its
# portal disabled.  The loggedin phase copies the objects for the
# host's tests (copy-sysfs.sh); take-copy.sh proves that the copy prints what
# the objects did and leaves it in BUILD/vm/<kernel>/.  The multipath phase
# times --sessions against iscsiadm -m session -P 3 and --luns against
# multipath -ll, the SAN phase --sessions, --luns and --check against
# iscsiadm -m session -P 3; the ratios are printed for each kernel at the
# end.  Nothing is installed into the host's boot setup: the kernels,
# busybox, open-iscsi, iproute2's rdma, multipath-tools and udev are
# downloaded with apt-get download and unpacked with dpkg-deb -x into
# BUILD/vm; the packages both kernels share are fetched once, and each kernel
# boots once.
#
# usage: tests/vm/run.sh [BUILD_DIR]
# Prints "VM TEST SKIPPED: <reason>" and exits 0 where the test cannot run
# here (no qemu, archive unreachable); exits 1 with a message naming the
# kernel when it fails.  VM_KERNELS (meta packages), VM_PHASES (a subset,
# in order, for trying out one phase; vm-check then checks only those),
# VM_LOGIN_LIMIT, VM_TOTAL_LIMIT (per kernel), VM_CHURN_RUNS and VM_SAN_LUNS
# change what it does.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$build/vm
LOGIN_LIMIT=${VM_LOGIN_LIMIT:-240}   # seconds until both sessions are logged in
TOTAL_LIMIT=${VM_TOTAL_LIMIT:-600}   # seconds for the whole VM run of one kernel
CHURN_RUNS=${VM_CHURN_RUNS:-20}      # runs of both programs in the churn phase
SAN_LUNS=${VM_SAN_LUNS:-64}          # LUNs on each of the four SAN targets
KERNELS=${VM_KERNELS:-linux-image-amd64 linux-image-6.12-amd64}
# The phases in the order they run (san logs every other session out, so it
# comes last); each is tests/vm/phases/NAME.sh, and vm-check knows them all.
ALL_PHASES="loggedin failed chap multipath iser churn san"
PHASES=${VM_PHASES:-$ALL_PHASES}

current=   # the kernel under test, for the messages
skip() { echo "VM TEST SKIPPED: $*"; exit 0; }
fail() { echo "VM TEST FAILED${current:+ [$current]}: $*" >&2; exit 1; }
step() { echo "== vm${current:+ [$current]}: $*"; }

for phase in $PHASES; do
    [ -f "$here/phases/$phase.sh" ] || fail "no phase $phase (tests/vm/phases/$phase.sh)"
done
for program in tool/iscsi-inventory examples/sysfs-buses/sysfs-buses tests/vm-check tests/vm-chap-probe; do
    [ -x "$build/$program" ] || fail "$build/$program is not built"
done

# Host tools: qemu, kmod (depmod, modprobe --show-depends), cpio and xz
# (the 6.12 modules are compressed; busybox insmod loads them plain).
missing=()
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
command -v depmod >/dev/null || missing+=(kmod)
command -v cpio >/dev/null || missing+=(cpio)
command -v xz >/dev/null || missing+=(xz-utils)
# And for proving the loggedin phase's copy of the objects: umockdev.
command -v umockdev-wrapper >/dev/null || missing+=(umockdev)
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
mkdir -p "$work/debs" "$work/root" "$work/common"

# The kernel package a meta package points to today.
kernel_package() { apt-cache depends "$1" 2>/dev/null |
                   awk '/Depends: linux-image-[0-9]/ { print $2; exit }'; }
resolve() {
    packages=()
    for meta in $KERNELS; do
        package=$(kernel_package "$meta")
        [ -n "$package" ] || return 1
        packages+=("$package")
    done
}
if ! resolve; then
    apt-get update -qq >/dev/null 2>&1 || true
    resolve || skip "cannot resolve $KERNELS (package archive unreachable?)"
fi
kernel_packages=("${packages[@]}")
step "kernels ${kernel_packages[*]#linux-image-}; phases $PHASES"

# Everything but the kernels, once: busybox, open-iscsi, iproute2 for rdma,
# multipath-tools, dmsetup and udev (with the libraries they load that a
# build host may lack).
shared=(busybox-static open-iscsi libisns0 libopeniscsiusr libkmod2 libssl3 iproute2 libmnl0 libbsd0 libmd0 libcap2
        multipath-tools libaio1 libdevmapper1.02.1 libjson-c5 liburcu8 libudev1 libsystemd0 dmsetup
        udev libacl1 libblkid1 libselinux1)
(cd "$work/debs" && apt-get download "${shared[@]}" "${kernel_packages[@]}") >"$work/download.log" 2>&1 ||
    skip "cannot download ${shared[*]} ${kernel_packages[*]} (package archive unreachable?)"
for package in "${shared[@]}"; do
    dpkg-deb -x "$work/debs/${package}"_*.deb "$work/root"
done
root=$work/root

step "building the common initramfs"
# Its files belong to root (cpio -R 0:0 below) and only root may write them,
# whoever builds it: as root, the facts script runs only such a program.
umask 022
ir=$work/common
mkdir -p "$ir/bin" "$ir/sbin" "$ir/usr/bin" "$ir/lib/x86_64-linux-gnu" "$ir/lib64" \
         "$ir/etc/iscsi" "$ir/proc" "$ir/sys" "$ir/dev" "$ir/run" "$ir/tmp" "$ir/var/lib/iscsi" \
         "$ir/usr/share/iscsi-inventory" "$ir/phases"
cp "$root/bin/busybox" "$ir/bin/busybox"
cp "$here/init.sh" "$ir/init"
cp "$here/dump-sysfs.sh" "$ir/bin/dump-sysfs"
cp "$here/copy-sysfs.sh" "$ir/bin/copy-sysfs"
cp "$here"/phases/*.sh "$ir/phases/"
chmod 755 "$ir/init" "$ir/bin/dump-sysfs" "$ir/bin/copy-sysfs"
cp "$root/sbin/iscsid" "$root/sbin/iscsiadm" "$root/sbin/multipath" "$root/sbin/dmsetup" "$ir/sbin/"
cp "$root/usr/bin/rdma" "$ir/usr/bin/"
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
# nobody: the multipath phase runs the tool without the privilege the
# device-mapper asks (su, busybox's).
printf '%s\n' "root:x:0:0:root:/:/bin/sh" "nobody:x:65534:65534:nobody:/nonexistent:/bin/false" > "$ir/etc/passwd"
printf '%s\n' "root:x:0:" "nogroup:x:65534:" > "$ir/etc/group"
# The kernel unpacks concatenated archives in turn: this one, then each
# kernel's modules.
(cd "$ir" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) > "$work/common.img"

# modules ROOT VERSION DIR LIST MODULE...: the modules with their dependencies,
# in load order (the package has no modules.dep), uncompressed into DIR; their
# paths below DIR/lib/modules into DIR/LIST, those already in another list of
# DIR left out.
modules() {
    local root=$1 version=$2 dir=$3 list=$4 module path relative; shift 4
    for module in "$@"; do
        modprobe -d "$root" -S "$version" --show-depends "$module" ||
            fail "module $module not found in linux-image-$version"
    done | awk '$1 == "insmod" { print $2 }' | awk '!seen[$0]++' |
    while read -r path; do
        relative=${path#"$root/lib/modules/"}
        relative=${relative%.xz}
        grep -qxF "$relative" "$dir"/modules*.list 2>/dev/null && continue
        mkdir -p "$dir/lib/modules/$(dirname "$relative")"
        case $path in
            *.xz) xz -dc "$path" > "$dir/lib/modules/$relative" ;;
            *) cp "$path" "$dir/lib/modules/$relative" ;;
        esac
        echo "$relative"
    done > "$dir/$list.tmp"
    mv "$dir/$list.tmp" "$dir/$list"
}

# The files each phase's first dump showed: "PHASE CLASS C|D FILE".
attribute_names() {
    awk '/^==== BEGIN [a-z]+ dump-before$/ { inside = 1; phase = $3; next }
         /^==== END / { inside = 0 }
         inside && $1 == "ENTRY" { cls = $2 }
         inside && ($1 == "C" || $1 == "D") { print phase, cls, $1, $2 }' "$1" | sort -u
}

# One kernel: its modules, the boot, the checks.
kernel_run() {
    local package=$1 version=${1#linux-image-}
    local dir=$work/$version kroot=$work/$version/root kir=$work/$version/initramfs
    current=$version
    mkdir -p "$kroot" "$kir"
    dpkg-deb -x "$work/debs/${package}"_*.deb "$kroot"
    local kernel=$kroot/boot/vmlinuz-$version
    [ -f "$kernel" ] || fail "no kernel image in $package"
    step "building its initramfs"
    depmod -b "$kroot" "$version"
    modules "$kroot" "$version" "$kir" modules.list configfs target_core_mod target_core_file \
        iscsi_target_mod scsi_transport_iscsi libiscsi libiscsi_tcp iscsi_tcp sd_mod crc32c_generic
    # Loaded by the iser phase only, so that the others see the kernel as
    # before: soft RoCE on a dummy device (its ICRC wants the kernel's crc32
    # algorithm, which nothing would load on demand here), and iSER on both
    # sides.
    modules "$kroot" "$version" "$kir" modules-iser.list dummy crc32_generic rdma_rxe ib_iser ib_isert
    # The multipath phase loads device-mapper's multipath target, its path
    # selectors and the ALUA handler the LIO LUN asks for, and unloads them.
    modules "$kroot" "$version" "$kir" modules-multipath.list dm_multipath dm_round_robin \
        dm_service_time scsi_dh_alua
    (cd "$kir" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) > "$dir/modules.img"
    cat "$work/common.img" "$dir/modules.img" > "$dir/initrd.img"
    cp "$kernel" "$dir/vmlinuz"
    rm -rf "$kroot" "$kir"   # some hundred megabytes the boot does not need

    step "booting (TCG; login expected within $LOGIN_LIMIT s)"
    local results=$dir/results.txt console=$dir/console.log
    : > "$results"
    qemu-system-x86_64 -accel tcg -m 1536 -smp 1 -no-reboot \
        -display none -monitor none -nic none \
        -kernel "$dir/vmlinuz" -initrd "$dir/initrd.img" \
        -append "console=ttyS0 panic=-1 loglevel=4 vmtest.phases=$(echo $PHASES | tr ' ' ,) vmtest.churn_runs=$CHURN_RUNS vmtest.san_luns=$SAN_LUNS" \
        -serial "file:$console" -serial "file:$results" &
    qemu=$!
    local started=$SECONDS elapsed shown=0 logged_in=
    # Every mark the VM sent since the last look, with the time it came.
    news() {
        local marks mark
        marks=$(grep -a '^==== [A-Z]' "$results" | grep -av '^==== \(BEGIN\|END\) ' || true)
        [ -n "$marks" ] || return 0
        while IFS= read -r mark; do
            case $mark in
                "==== LOGGEDIN") logged_in=$elapsed; step "logged in after $elapsed s" ;;
                "==== PHASE "*) step "phase ${mark#==== PHASE } from $elapsed s" ;;
                "==== TOOK "*) set -- ${mark#==== TOOK }; step "phase $1 took $2 s" ;;
                "==== FATAL "*|"==== DONE") ;;
                *) step "${mark#==== } (by $elapsed s)" ;;
            esac
        done < <(printf '%s\n' "$marks" | tail -n +$((shown + 1)))
        shown=$(printf '%s\n' "$marks" | wc -l)
    }
    while kill -0 "$qemu" 2>/dev/null; do
        elapsed=$((SECONDS - started))
        news
        grep -q "^==== FATAL" "$results" && break
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
    kill "$qemu" 2>/dev/null || true
    wait "$qemu" 2>/dev/null || true
    qemu=
    news
    if grep -q "^==== FATAL" "$results"; then
        tail -n 30 "$console" >&2 || true
        fail "$(grep '^==== FATAL' "$results" | head -n 1 | cut -c6-) (console: $console; results: $results)"
    fi
    grep -q "^==== DONE" "$results" || { tail -n 30 "$console" >&2 || true; fail "the VM stopped before finishing (console: $console)"; }
    step "VM run took $((SECONDS - started)) s; checking"
    "$build/tests/vm-check" "$results" $PHASES | tee "$dir/vm-check.txt" | sed "s/^/[$version] /" ||
        fail "the results do not match (see above; raw results: $results)"
    case " $PHASES " in
        *" multipath "*) "$here/check-formats.sh" "$results" "$here/../.." | sed "s/^/[$version] /" ||
            fail "the multipath phase's --json or --prometheus output is malformed (see above)" ;;
    esac
    case " $PHASES " in
        *" loggedin "*) "$here/take-copy.sh" "$results" "$build" "$dir" | sed "s/^/[$version] /" ||
            fail "the copy of the kernel's iSCSI objects is not faithful (see above)" ;;
    esac
    if [ "$PHASES" = "$ALL_PHASES" ]; then
        "$here/mutate.sh" "$results" "$build/tests/vm-check" | sed "s/^/[$version] /" ||
            fail "vm-check let changed results pass (see above)"
    fi
    current=
}

qemu=
trap '[ -z "$qemu" ] || { kill "$qemu" 2>/dev/null; wait "$qemu" 2>/dev/null; } || true' EXIT
test_started=$SECONDS
for package in "${kernel_packages[@]}"; do
    kernel_run "$package"
done
# What the kernels' sysfs showed differently (a note, no failure: the checks
# follow each kernel's own dump).
if [ ${#kernel_packages[@]} = 2 ]; then
    first=${kernel_packages[0]#linux-image-} second=${kernel_packages[1]#linux-image-}
    comm -3 <(attribute_names "$work/$first/results.txt") <(attribute_names "$work/$second/results.txt") |
        awk -v a="$first" -v b="$second" '{ if (sub(/^\t/, "")) print "== vm: only " b ": " $0
                                            else print "== vm: only " a ": " $0 }' > "$work/differences"
    if [ -s "$work/differences" ]; then
        cat "$work/differences"
    else
        echo "== vm: both kernels show the same attribute files in every phase"
    fi
fi
# Each phase's time in the VM, per kernel (as the VM's clock measured it).
for package in "${kernel_packages[@]}"; do
    version=${package#linux-image-}
    echo "== vm: phase times [$version]:$(sed -n 's/^==== TOOK \([a-z]*\) \([0-9.]*\)$/ \1 \2 s,/p' \
        "$work/$version/results.txt" | tr -d '\n' | sed 's/,$//')"
done
# The tool against the commands administrators would run instead (its
# median time over theirs, per phase), as vm-check measured them.
for package in "${kernel_packages[@]}"; do
    version=${package#linux-image-}
    sed -n "s/^vm-check: peers: /== vm: peers [$version]: /p" "$work/$version/vm-check.txt"
done
step "all kernels passed in $((SECONDS - test_started)) s"
