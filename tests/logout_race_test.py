#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A session that logs out while the inventory is read is gone, not a ghost.

On the sample tree (make-sample-tree.sh), served at /sys by umockdev, a
second process makes session2 log out and back in over and over, as the
kernel does it: the links to its objects go first (its connection's and its
own class links, its logical units' bus and block links), then its directory
with everything below it, file by file; then it comes back whole.  Meanwhile
each form of the inventory runs a fixed number of times.  Every run must
exit 0 with nothing on standard error (a logout is no error), and show
session2, its connection and its disks either whole or not at all:

- text: a device's block holds only its listing ("classname", "path") or
  its attributes with the device behind it;
- --json: no class device without its device ("device": null marks a
  virtual one) or without its attributes, no joined session without its
  target, no disk without its state;
- --sessions: no "Target: <unknown>";
- --prometheus: no session without its target, no error counted.

Whether a run meets the logout half-way is chance, so a run that sees it
whole or not at all proves nothing: the test passes on a sound program
whatever the timing, and fails on one that shows ghosts in most of its runs.
Usage: logout_race_test.py TOOL SOURCE_DIR
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

RUNS = 60  # of each form


def links_into(sysfs, session_dir):
    """Every link outside the session's directory that leads into it, the
    class link of the session itself last: the kernel removes it after the
    rest."""
    links = []
    for directory, subdirs, files in os.walk(sysfs):
        if os.path.commonpath([directory, session_dir]) == session_dir:
            continue
        for name in subdirs + files:
            path = os.path.join(directory, name)
            if os.path.islink(path):
                target = os.path.realpath(path)
                if os.path.commonpath([target, session_dir]) == session_dir:
                    links.append((path, os.readlink(path)))
    links.sort(key=lambda link: link[0].endswith("class/iscsi_session/session2"))
    assert links and links[-1][0].endswith("class/iscsi_session/session2"), links
    return links


def log_out_and_in(work):
    """The second process: logs session2 out and in until it is stopped."""
    sysfs = os.path.join(work, "sys")
    session_dir = os.path.join(sysfs, "devices/platform/host2/session2")
    pristine = os.path.join(work, "session2.pristine")
    links = links_into(sysfs, session_dir)
    stopped = os.path.join(work, "stop")
    cycles = 0
    while not os.path.exists(stopped):
        for path, _ in links:
            os.unlink(path)
        shutil.rmtree(session_dir)
        shutil.copytree(pristine, session_dir + ".new", symlinks=True)
        os.rename(session_dir + ".new", session_dir)
        for path, target in reversed(links):
            os.symlink(target, path)
        cycles += 1
        time.sleep(0.005)  # logged in for a while: the runs see it whole too
    with open(os.path.join(work, "cycles"), "w") as count:
        count.write(str(cycles))


if sys.argv[1] == "--log-out-and-in":
    log_out_and_in(sys.argv[2])
    sys.exit(0)

tool, src = sys.argv[1], sys.argv[2]
# In memory where there is room: on disk, a logout takes tens of milliseconds,
# and few runs would meet one.
work = tempfile.mkdtemp(dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else None)
failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message, file=sys.stderr)


subprocess.run(["bash", os.path.join(src, "tests/data/make-sample-tree.sh"), work], check=True,
               stdout=subprocess.DEVNULL)
shutil.copytree(os.path.join(work, "sys/devices/platform/host2/session2"),
                os.path.join(work, "session2.pristine"), symlinks=True)


def run(*options):
    result = subprocess.run(["umockdev-wrapper", tool, "--no-log", *options], cwd=work,
                            env=dict(os.environ, UMOCKDEV_DIR=work), capture_output=True)
    what = "the %s form" % (options[0] if options else "text")
    if result.returncode != 0 or result.stderr:
        fail("%s: exit %d, standard error %r" % (what, result.returncode, result.stderr[:300]))
    return what, result.stdout


def check_text(what, out):
    # Blocks: a heading, then "\t<key>:: \t<value>" lines.
    for block in re.split(rb"\n(?=NAME )", out):
        heading = block.split(b"\n", 1)[0]
        keys = set(re.findall(rb"^\t([^\n:]+):: \t", block, re.M))
        if heading.startswith(b"NAME SESSION CLASS :: "):
            wanted = {b"targetname", b"state", b"bus_id"}
        elif heading.startswith(b"NAME CONNECTION CLASS :: "):
            wanted = {b"persistent_address", b"state", b"bus_id"}
        else:
            continue
        if keys != {b"classname", b"path"} and not wanted <= keys:
            fail("%s: %s shown in part: %s" % (what, heading.decode(errors="replace"),
                                              sorted(k.decode() for k in keys)))


def check_json(what, out):
    document = json.loads(out)
    for cls, key in (("iscsi_session", "targetname"), ("iscsi_connection", "persistent_address")):
        for device in document[cls]:
            if device["device"] is None or key not in device["attributes"]:
                fail("%s: %s %s shown in part" % (what, cls, device["name"]))
    for session in document["sessions"]:
        if session["target_name"] is None or session["state"] is None:
            fail("%s: joined session %s shown in part" % (what, session["name"]))
        for disk in session["disks"]:
            if disk["state"] is None:
                fail("%s: disk %s of %s shown in part" % (what, disk["hctl"], session["name"]))
    for disks in (d.get("disks", []) for d in document["iscsi_session"]):
        for disk in disks:
            if disk["state"] is None:
                fail("%s: disk %s shown in part" % (what, disk["name"]))
    if document["errors"]:
        fail("%s: errors %s" % (what, document["errors"]))


def check_sessions(what, out):
    if b"Target: <unknown>" in out:
        fail("%s: a session without its target" % what)


def check_prometheus(what, out):
    if re.search(rb'^iscsi_session_info\{[^}]*target=""', out, re.M):
        fail("%s: a session without its target" % what)
    if not re.search(rb"^iscsi_inventory_errors 0$", out, re.M):
        fail("%s: errors counted" % what)


forms = [((), check_text), (("--json",), check_json), (("--sessions",), check_sessions),
         (("--prometheus",), check_prometheus)]
seen = {}
mutator = subprocess.Popen([sys.executable, __file__, "--log-out-and-in", work])
try:
    for options, check in forms:
        for _ in range(RUNS):
            what, out = run(*options)
            check(what, out)
            shown = b"session2" in out
            seen[what, shown] = seen.get((what, shown), 0) + 1
finally:
    open(os.path.join(work, "stop"), "w").close()
    mutator.wait()
    with open(os.path.join(work, "cycles")) as count:
        cycles = int(count.read())
    shutil.rmtree(work)

for (what, shown), count in sorted(seen.items()):
    print("%s: session2 %s in %d of %d runs" % (what, "shown" if shown else "absent", count, RUNS))
print("%d logouts while the forms ran" % cycles)
if failures:
    print("FAIL: %d ghost(s) or errors" % len(failures), file=sys.stderr)
    sys.exit(1)
print("PASS: no ghost in any form")
