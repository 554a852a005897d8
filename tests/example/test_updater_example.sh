#!/usr/bin/env bash
# The example updater window, off screen: it installs the sample package and
# exits 0 with the tree in place, and exits 1 when the source is missing;
# either way it leaves no socket directory behind.
# Arguments: EXAMPLE INSTALLER SAMPLE_PACKAGE
set -euo pipefail
example=$1 installer=$2 package=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tmp"
export TMPDIR=$work/tmp QT_QPA_PLATFORM=offscreen

fail() { echo "FAIL: $*" >&2; exit 1; }

# run EXPECTED_STATUS SOURCE DESTINATION
run() {
    local status=0
    "$example" --quit-when-done --installer "$installer" "$2" "$3" >"$work/out" 2>&1 || status=$?
    [ "$status" = "$1" ] || { cat "$work/out" >&2; fail "$2 into $3: exit status $status, expected $1"; }
    ! compgen -G "$TMPDIR/ostrel-updater-*" >/dev/null || fail "socket directory left in $TMPDIR"
}

run 0 "$package" "$work/installed"
diff -r --no-dereference "$package" "$work/installed" || fail "the installed tree differs"
run 1 "$work/none" "$work/other"
grep -q '^RefusedSourceMissing: ' "$work/out" || fail "missing source reported as: $(cat "$work/out")"
echo PASS
