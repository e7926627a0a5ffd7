#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The facts script without Ansible or Facter: the form its name chooses, where
# it finds the program, and that it still exits 0 with one JSON object, the
# error inside, when the program is missing or fails.  Copies of the script
# have the installed path and the usual prefixes rewritten, so that a
# program installed on this machine cannot answer for the one under test.
# Usage: fact_script_test.sh FACT_SCRIPT SOURCE_DIR
set -euo pipefail
fact=$1 src=$2
. "$src/tests/lib/root-only-dir.sh"
# As root, under a directory only root can write: programs planted here must
# be trusted enough for the script to run them.
work=$(scratch_dir); trap 'rm -rf "$work"' EXIT
mkdir -p "$work/empty" "$work/cwd/rel" "$work/path" "$work/usual"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# copy NAME INSTALLED USUAL_DIRS: the script as installed under NAME.
copy() {
  sed -e "s|^installed=.*|installed='$2'|" -e "s|^usual_dirs=.*|usual_dirs='$3'|" "$fact" >"$work/$1"
  chmod 755 "$work/$1"
  grep -qx "installed='$2'" "$work/$1" && grep -qx "usual_dirs='$3'" "$work/$1" ||
    { echo "the script no longer has the installed= and usual_dirs= lines" >&2; exit 1; }
}

# expect WHAT SEARCH_PATH EXPECTED_JSON SCRIPT [ARG...]: runs SCRIPT with PATH
# set to SEARCH_PATH in a directory of its own; it must exit 0, print nothing
# but the expected object (in strict UTF-8) and leave nothing there.
expect() {
  local what=$1 search=$2 expected=$3 status=0; shift 3
  (cd "$work/cwd" && timeout 60 env PATH="$search" "$@") >"$work/out" 2>"$work/err" || status=$?
  [ "$status" = 0 ] || fail "$what: exit status $status"
  python3 - "$work/out" "$expected" <<'PY' || fail "$what"
import json, sys
got = json.loads(open(sys.argv[1], "rb").read().decode("utf-8", "strict"))
expected = json.loads(sys.argv[2])
if got != expected:
    sys.exit("got      %s\nexpected %s" % (json.dumps(got), json.dumps(expected)))
PY
  [ "$(ls -A "$work/cwd")" = rel ] || fail "$what: left $(ls -A "$work/cwd") where it ran"
}

# The program's stand-ins.  The good one prints the arguments it was given.
cat >"$work/good" <<'SH'
#!/bin/sh
printf '{"args": ['; sep=
for a in "$@"; do printf '%s"%s"' "$sep" "$a"; sep=', '; done
printf ']}\n'
SH
# The failing one prints half a document, then a message with a quote, a
# backslash, a tab, a byte that is not UTF-8 and a second line.
cat >"$work/failing" <<'SH'
#!/bin/sh
printf '{"iscsi_session": [\n'
printf 'iscsi-inventory: "sys"\\fs\t\377\nnot mounted\n' >&2
exit 1
SH
printf '#!/bin/sh\necho "{\\"wrong\\": true}"\n' >"$work/cwd/rel/iscsi-inventory"
chmod 755 "$work/good" "$work/failing" "$work/cwd/rel/iscsi-inventory"
usual=/usr/sbin\ /usr/bin\ /usr/local/sbin\ /usr/local/bin
none="$work/none/sbin $work/none/bin"

# On the sample tree, as Ansible runs it and under Facter's name: the same
# document, in the second case under the one key iscsi_inventory.
bash "$src/tests/data/make-sample-tree.sh" "$work/tree"
ln -s "$fact" "$work/iscsi_inventory"
(cd "$work/cwd" && UMOCKDEV_DIR=$work/tree umockdev-wrapper "$fact") >"$work/ansible.json"
(cd "$work/cwd" && UMOCKDEV_DIR=$work/tree umockdev-wrapper "$work/iscsi_inventory") >"$work/facter.json"
python3 - "$work/ansible.json" "$work/facter.json" <<'PY' || fail "the two forms on the sample tree"
import json, sys
plain = json.load(open(sys.argv[1]))
wrapped = json.load(open(sys.argv[2]))
assert "error" not in plain, plain
assert [s["name"] for s in plain["iscsi_session"]] == ["session1", "session2", "session3"]
assert list(wrapped) == ["iscsi_inventory"], list(wrapped)
assert wrapped["iscsi_inventory"] == plain
PY
[ "$(ls -A "$work/cwd")" = rel ] || fail "the script left $(ls -A "$work/cwd") where it ran"

# Under a file size limit (ulimit -f, in KiB here), with the facts going to a
# file after what it held: the document where it fits, else the error object,
# whole, never a cut document or SIGXFSZ.  The room is counted from the end
# of what the file held (appended) or from where the descriptor stands.
# At the limit just above the document's size, the document fits on its own
# but not after what the file held: the pad is made long enough for that.
size=$(wc -c <"$work/ansible.json")
edge=$(( (size + 1023) / 1024 ))
pad=$(( edge * 1024 - size + 100 ))
for case in "64 append" "16 append" "$edge append" "$edge write"; do
  set -- $case
  printf "%0${pad}d" 0 >"$work/limited.json"
  status=0
  if [ "$2" = append ]; then
    (cd "$work/cwd" && ulimit -f "$1" && UMOCKDEV_DIR=$work/tree exec umockdev-wrapper "$fact") \
      >>"$work/limited.json" 2>"$work/err" || status=$?
  else
    (cd "$work/cwd" && ulimit -f "$1" && UMOCKDEV_DIR=$work/tree exec umockdev-wrapper "$fact") \
      1<>"$work/limited.json" 2>"$work/err" || status=$?
  fi
  [ "$status" = 0 ] || fail "ulimit -f $1, $2: exit status $status"
  used=$pad; [ "$2" = append ] || used=0
  python3 - "$work/limited.json" "$work/ansible.json" "$1" "$used" "$size" "$fact" <<'PY' ||
import json, sys
path, whole, kib, used, size, fact = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]), sys.argv[6]
text = open(path).read()
assert text[:used] == "0" * used, "what the file held is gone"
got = json.loads(text[used:])
if used + size <= kib * 1024:
    assert got == json.load(open(whole)), "not the document"
else:
    program = fact.rsplit("/", 2)[0] + "/tool/iscsi-inventory"
    assert got["error"] == ("the facts (%d bytes) do not fit under the file size limit of standard "
                            "output (%d bytes, %d of them used)" % (size, kib * 1024, used)), got
    assert got["exit_status"] == 0, got
PY
    fail "ulimit -f $1, $2: $(head -c 300 "$work/limited.json")"
done

# Not installed anywhere: PATH and every place the script looks hold nothing
# (a relative PATH entry is not searched: it would run a program from the
# directory the agent happens to be in).
copy missing.fact "$work/none/bin/iscsi-inventory" "$none"
ln -s missing.fact "$work/iscsi_inventory.sh"
message="iscsi-inventory is not installed: not at $work/none/bin/iscsi-inventory, on PATH or in $none"
expect "not installed" "$work/empty:rel" \
  "{\"error\": \"$message\", \"program\": null, \"exit_status\": null}" "$work/missing.fact"
expect "not installed, under Facter's name" "$work/empty:rel" \
  "{\"iscsi_inventory\": {\"error\": \"$message\", \"program\": null, \"exit_status\": null}}" \
  "$work/iscsi_inventory.sh"

# Found on PATH, then in the usual prefixes; run with --json --no-log alone,
# whatever the script was given.
cp "$work/good" "$work/path/iscsi-inventory"
expect "found on PATH" "rel:$work/empty:$work/path" '{"args": ["--json", "--no-log"]}' \
  "$work/missing.fact" --show-secrets
cp "$work/good" "$work/usual/iscsi-inventory"
copy usual.fact "$work/none/bin/iscsi-inventory" "$work/none $work/usual"
expect "found in a usual prefix" "$work/empty" '{"args": ["--json", "--no-log"]}' \
  "$work/usual.fact"
# The installed path comes before PATH.
copy installed.fact "$work/good" "$usual"
expect "installed path first" "$work/cwd/rel:$PATH" '{"args": ["--json", "--no-log"]}' \
  "$work/installed.fact"

# The program fails: its half document is dropped, its message kept in JSON.
copy failing.fact "$work/failing" "$usual"
ln -s failing.fact "$work/iscsi_inventory_failing"
error="$work/failing exited with status 1: iscsi-inventory: \\\"sys\\\"\\\\fs\\t?\\nnot mounted"
expect "failing program" "$PATH" "{\"error\": \"$error\", \"program\": \"$work/failing\", \"exit_status\": 1}" \
  "$work/failing.fact"
expect "failing program, under Facter's name" "$PATH" \
  "{\"iscsi_inventory\": {\"error\": \"$error\", \"program\": \"$work/failing\", \"exit_status\": 1}}" \
  "$work/iscsi_inventory_failing"

# A partial inventory (status 1, a whole document with its errors) is kept.
cat >"$work/partial" <<'SH'
#!/bin/sh
printf '{\n  "errors": [{"object": "class iscsi_session", "error": "Permission denied"}]\n}\n'
echo "iscsi-inventory: cannot read class iscsi_session: Permission denied" >&2
exit 1
SH
chmod 755 "$work/partial"
copy partial.fact "$work/partial" "$usual"
expect "partial inventory" "$PATH" \
  '{"errors": [{"object": "class iscsi_session", "error": "Permission denied"}]}' "$work/partial.fact"

# Run as root, the script runs only a program that root alone can replace.
# Each planted program would leave a mark in $work/ran if it were run; the
# installed path and the usual prefixes hold nothing.
if [ "$(id -u)" != 0 ]; then
  echo "not root: the programs root refuses to run are not checked"
elif ! root_only "$work"; then
  echo "no directory only root can write for the scratch tree: the programs root refuses" \
       "to run are not checked"
else
  mkdir "$work/ran"
  # plant DIR OWNER MODE: a program in DIR (made if missing) that leaves a mark.
  plant() {
    mkdir -p "$1"
    local name=${4:-iscsi-inventory}
    printf '#!/bin/sh\n/usr/bin/touch "%s/ran/%s"\necho "{}"\n' "$work" "${1##*/}-$name" >"$1/$name"
    chown "$2" "$1/$name"
    chmod "$3" "$1/$name"
  }
  # refused WHAT SEARCH_PATH PROGRAM WHY...: the script, with PATH set to
  # SEARCH_PATH, runs nothing and says why PROGRAM (and each program after
  # it) was refused.
  refused() {
    local what=$1 search=$2 program=$3 message=; shift 3
    local why; for why in "$@"; do message="$message${message:+; }$why"; done
    expect "$what" "$search" \
      "{\"error\": \"$message\", \"program\": \"$program\", \"exit_status\": null}" "$work/missing.fact"
    [ -z "$(ls -A "$work/ran")" ] || fail "$what: root ran $(ls -A "$work/ran")"
  }
  plant "$work/nobody" 65534 755
  # The commands the script runs itself are not looked for on PATH either.
  for helper in id ls readlink; do plant "$work/nobody" 65534 755 "$helper"; done
  chown 65534 "$work/nobody"
  refused "planted by nobody in nobody's directory" "$work/nobody" "$work/nobody/iscsi-inventory" \
    "not running $work/nobody/iscsi-inventory as root: $work/nobody/iscsi-inventory is owned by uid 65534, not root"
  plant "$work/nobodys-dir" 0 755
  chown 65534 "$work/nobodys-dir"
  refused "root's program in nobody's directory" "$work/nobodys-dir" "$work/nobodys-dir/iscsi-inventory" \
    "not running $work/nobodys-dir/iscsi-inventory as root: $work/nobodys-dir is owned by uid 65534, not root"
  plant "$work/sticky" 65534 755
  chmod 1777 "$work/sticky"
  refused "planted by nobody in a 1777 directory" "$work/sticky" "$work/sticky/iscsi-inventory" \
    "not running $work/sticky/iscsi-inventory as root: $work/sticky/iscsi-inventory is owned by uid 65534, not root"
  # Not sticky, a directory others can write lets them replace root's names.
  plant "$work/open/root" 0 755
  chmod 777 "$work/open"
  refused "root's program under a 0777 directory" "$work/open/root" "$work/open/root/iscsi-inventory" \
    "not running $work/open/root/iscsi-inventory as root: $work/open can be written by others than root (drwxrwxrwx)"
  plant "$work/group" 0 755
  chmod 775 "$work/group"
  plant "$work/writable" 0 757
  refused "a directory its group can write, a program others can write, one after the other" \
    "$work/group:$work/writable" "$work/group/iscsi-inventory" \
    "not running $work/group/iscsi-inventory as root: $work/group can be written by others than root (drwxrwxr-x)" \
    "not running $work/writable/iscsi-inventory as root: $work/writable/iscsi-inventory can be written by others than root (-rwxr-xrwx)"
  # Links: one in a root-only directory that leads below the 0777 one, and
  # one in a 0777 directory (which anyone could replace) that leads to
  # root's own.
  mkdir "$work/link-out" "$work/open-link" "$work/root"
  ln -s "$work/open/root/iscsi-inventory" "$work/link-out/iscsi-inventory"
  refused "a link out to a 0777 directory" "$work/link-out" "$work/link-out/iscsi-inventory" \
    "not running $work/link-out/iscsi-inventory as root: $work/open can be written by others than root (drwxrwxrwx)"
  plant "$work/root" 0 755
  ln -s "$work/root/iscsi-inventory" "$work/open-link/iscsi-inventory"
  chmod 777 "$work/open-link"
  refused "a link in a 0777 directory to root's program" "$work/open-link" \
    "$work/open-link/iscsi-inventory" \
    "not running $work/open-link/iscsi-inventory as root: $work/open-link can be written by others than root (drwxrwxrwx)"
  # Those refused are passed over for one root may run, and named on
  # standard error; a link between root-only directories is followed.
  mkdir "$work/root-link"
  ln -s ../root/iscsi-inventory "$work/root-link/iscsi-inventory"
  expect "passed over for root's own" "$work/sticky:$work/root-link" '{}' "$work/missing.fact"
  [ "$(ls -A "$work/ran")" = root-iscsi-inventory ] ||
    fail "passed over for root's own: ran $(ls -A "$work/ran")"
  grep -qF "not running $work/sticky/iscsi-inventory as root" "$work/err" ||
    fail "passed over for root's own: the program refused is not named on standard error"
  # A sticky directory (as /tmp is) keeps root's names root's: a build
  # below one is run.
  rm "$work/ran/root-iscsi-inventory"
  plant "$work/sticky/mine" 0 755
  expect "root's program under a 1777 directory" "$work/sticky/mine" '{}' "$work/missing.fact"
  [ "$(ls -A "$work/ran")" = mine-iscsi-inventory ] ||
    fail "root's program under a 1777 directory: ran '$(ls -A "$work/ran")'"
  rm "$work/ran/mine-iscsi-inventory"
  # Another user runs what they find, as before: they can run nothing root cannot.
  chmod 711 "$work"
  chmod 777 "$work/ran"
  expect "run as nobody" "$work/sticky" '{}' \
    /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups "$work/missing.fact"
  [ "$(ls -A "$work/ran")" = sticky-iscsi-inventory ] ||
    fail "run as nobody: ran '$(ls -A "$work/ran")'"
fi

[ "$failures" = 0 ] || exit 1
echo "the facts script: both forms, found where installed, on PATH and in the usual prefixes," \
     "errors as JSON with exit status 0, and as root only programs that root alone can replace"
