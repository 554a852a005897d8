#!/usr/bin/env bash
# The example updater window, off screen: it installs the sample package and
# exits 0 with the tree in place (without keep-previous it offers no Roll
# back, so --roll-back-when-done presses nothing), and exits 1 when the
# source is missing, its busy bar stopped and the installer's reason shown
# as an error; over the installed package, it installs another version
# keeping the previous one, presses Roll back and exits 0 with the
# package's tree back. It never leaves a socket directory behind.
# Arguments: EXAMPLE INSTALLER SAMPLE_PACKAGE
set -euo pipefail
example=$1 installer=$2 package=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tmp"
export TMPDIR=$work/tmp QT_QPA_PLATFORM=offscreen

fail() { echo "FAIL: $*" >&2; exit 1; }

# run EXPECTED_STATUS SOURCE DESTINATION [OPTION...]
run() {
    local status=0
    "$example" --quit-when-done --installer "$installer" "${@:4}" "$2" "$3" >"$work/out" 2>&1 || status=$?
    [ "$status" = "$1" ] || { cat "$work/out" >&2; fail "$2 into $3: exit status $status, expected $1"; }
    ! compgen -G "$TMPDIR/ostrel-updater-*" >/dev/null || fail "socket directory left in $TMPDIR"
}

# shown TEXT: the window's last state, as it printed it.
shown() { grep -qxF "shown: $1" "$work/out" || fail "the window showed: $(grep '^shown: ' "$work/out")"; }

run 0 "$package" "$work/installed" --roll-back-when-done
diff -r --no-dereference "$package" "$work/installed" || fail "the installed tree differs"
shown "Installing the update | installed into $work/installed | bar 1 of 1"
run 1 "$work/none" "$work/other"
grep -q '^RefusedSourceMissing: ' "$work/out" || fail "missing source reported as: $(cat "$work/out")"
shown "The update failed | fail to find sources at $work/none (installer status 2: SOURCE is missing) | bar 0 of 1 | as an error"
mkdir -p "$work/version2/bin"
echo 2 >"$work/version2/bin/sample-app"
run 0 "$work/version2" "$work/installed" --atomic --keep-previous --roll-back-when-done
grep -q '^Installed: ' "$work/out" || fail "not installed before the rollback: $(cat "$work/out")"
diff -r --no-dereference "$package" "$work/installed" || fail "the rolled-back tree differs from the package"
shown "Rolling back the update | rolled back $work/installed to the version kept before | bar 1 of 1"
echo PASS
