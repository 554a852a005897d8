#!/usr/bin/env bash
# The programs' command line, the Debian package and the installed CMake
# package, end to end:
#  - the built ostrel-installer and ostrel-monitor: --version, --help, and
#    lone arguments that are usage errors (exit 255, no output at all);
#  - cpack -G DEB, unpacked with dpkg -x: exactly the two packages with
#    exactly their files, the -dev one depending on the runtime one, both
#    lintian clean, the packaged monitor running its installer on the sample
#    package gives the same tree, and the packaged bash completion completes
#    both programs (the monitor's command by that command's completion);
#  - cmake --install into a prefix, and a project that finds it there and
#    links the client library: its program installs the sample package.
# Arguments: BUILD_DIR SOURCE_DIR VERSION INSTALLER MONITOR CMAKE CPACK
set -euo pipefail
build=$1 source=$2 version=$3 installer=$4 monitor=$5 cmake=$6 cpack=$7
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tmp"
export TMPDIR=$work/tmp # nothing here may meet another run's socket

fail() { echo "FAIL: $*" >&2; exit 1; }

# expect STATUS LINE COMMAND...: COMMAND exits with STATUS and writes LINE
# as its first line to standard output and nothing to standard error; an
# empty LINE: nothing on either.
expect() {
    local status=$1 line=$2 got=0
    shift 2
    "$@" >"$work/out" 2>"$work/err" </dev/null || got=$?
    [ "$got" = "$status" ] || fail "$*: exit status $got, expected $status"
    [ ! -s "$work/err" ] || fail "$*: wrote to standard error: $(head -c 300 "$work/err")"
    if [ -z "$line" ]; then
        [ ! -s "$work/out" ] || fail "$*: wrote to standard output: $(head -c 300 "$work/out")"
    else
        [ "$(head -n 1 "$work/out")" = "$line" ] || fail "$*: first line '$(head -n 1 "$work/out")', expected '$line'"
    fi
}

expect 0 "ostrel-installer $version" "$installer" --version
expect 0 "Usage: ostrel-installer [--atomic [--keep-previous]] [--changed-only] [--] SOURCE DESTINATION" "$installer" --help
expect 0 "ostrel-monitor $version" "$monitor" --version
for lone in "" x -h -help --versio --version=1 --atomic; do
    expect 255 "" "$installer" "$lone"
done
expect 255 "" "$installer"
# With two arguments --help is SOURCE, and a missing one (exit status 2).
status=0
(cd "$work" && "$installer" --help destination >"$work/out" 2>/dev/null) || status=$?
[ "$status" = 2 ] && [ ! -s "$work/out" ] || fail "--help destination: exit status $status, expected 2"

# The Debian packages: exactly the runtime and the -dev package, each with
# exactly its files.
(cd "$build" && "$cpack" -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 \
    || { cat "$work/cpack.log" >&2; fail "cpack -G DEB"; }
arch=$(dpkg --print-architecture)
runtime=ostrel-installer_${version}_$arch.deb dev=ostrel-installer-dev_${version}_$arch.deb
made=$(cd "$work/deb" && echo *.deb)
[ "$made" = "$dev $runtime" ] || fail "cpack made $made, expected $dev $runtime"
runtime=$work/deb/$runtime dev=$work/deb/$dev
depends=$(dpkg-deb -f "$runtime" Depends)
[[ $depends == *libqt6core6* ]] || fail "Depends without Qt: '$depends'"
depends=$(dpkg-deb -f "$dev" Depends)
[[ ", $depends," == *", ostrel-installer (= $version),"* ]] || fail "the -dev package's Depends: '$depends'"
# files DEB DIR: the files DEB holds, unpacked into DIR; the exported
# targets' per-configuration file is named after the build type.
files() {
    dpkg -x "$1" "$2"
    (cd "$2" && find . -type f | sed 's/Targets-[a-z]*\.cmake$/Targets-CONFIG.cmake/' | sort)
}
diff -u - <(files "$runtime" "$work/root") <<'FILES' || fail "unexpected files in the runtime package"
./usr/bin/ostrel-installer
./usr/bin/ostrel-monitor
./usr/share/bash-completion/completions/ostrel-installer
./usr/share/bash-completion/completions/ostrel-monitor
./usr/share/doc/ostrel-installer/changelog.gz
./usr/share/doc/ostrel-installer/copyright
./usr/share/man/man1/ostrel-installer.1.gz
./usr/share/man/man1/ostrel-monitor.1.gz
FILES
libdir=./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
sed "s|^LIBDIR|$libdir|" <<'FILES' | diff -u - <(files "$dev" "$work/dev") || fail "unexpected files in the -dev package"
./usr/include/ostrel/installerclient.h
LIBDIR/cmake/OstrelInstaller/OstrelInstallerConfig.cmake
LIBDIR/cmake/OstrelInstaller/OstrelInstallerConfigVersion.cmake
LIBDIR/cmake/OstrelInstaller/OstrelInstallerTargets-CONFIG.cmake
LIBDIR/cmake/OstrelInstaller/OstrelInstallerTargets.cmake
LIBDIR/libostrel_base.a
LIBDIR/libostrel_client.a
./usr/share/doc/ostrel-installer-dev/changelog.gz
./usr/share/doc/ostrel-installer-dev/copyright
FILES
# Warnings and errors fail; lintian also says, on standard error, that it
# runs as root (as CI does).
lintian --fail-on error,warning "$runtime" "$dev" >"$work/lintian.log" 2>&1 \
    || { cat "$work/lintian.log" >&2; fail "lintian"; }
bin=$work/root/usr/bin
expect 0 "ostrel-installer $version" "$bin/ostrel-installer" --version
mkdir "$work/socket" "$work/destination"
PATH="$bin:$PATH" "$bin/ostrel-monitor" --name "$work/socket/OstrelUpdater" --log "$work/install.log" \
    -- ostrel-installer "$source/examples/sample-package" "$work/destination" >"$work/monitor.log" 2>&1 \
    || { cat "$work/monitor.log" "$work/install.log" >&2; fail "the packaged monitor and installer"; }
diff -r --no-dereference "$source/examples/sample-package" "$work/destination" \
    || fail "the installed sample package differs"

# completes LINE EXPECTED...: in bash, with the packaged completion found as
# bash-completion finds it, completing the last word of LINE (empty after a
# trailing space) offers exactly EXPECTED, in any order.
completes() {
    local line=$1
    shift
    local got
    got=$(cd "$work/completion" && XDG_DATA_DIRS=$work/root/usr/share bash --norc --noprofile -c '
        source /usr/share/bash-completion/bash_completion
        COMP_LINE=$1 COMP_POINT=${#1}
        read -ra COMP_WORDS <<<"$COMP_LINE"
        [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
        __load_completion "${COMP_WORDS[0]}" || exit 1
        function=$(complete -p "${COMP_WORDS[0]}" | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
        "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        printf "%s\n" "${COMPREPLY[@]}"' _ "$line" | sort | xargs) || fail "no completion for '$line'"
    [ "$got" = "$(printf '%s\n' "$@" | sort | xargs)" ] || fail "completing '$line' offers '$got', expected '$*'"
}
mkdir -p "$work/completion/package/lib" "$work/completion/previous"
touch "$work/completion/program.log"
completes "ostrel-installer --" -- --atomic --changed-only --help --version
completes "ostrel-installer --atomic --" -- --atomic --changed-only
completes "ostrel-installer " package previous
completes "ostrel-installer -- p" package previous
completes "ostrel-monitor --j" --json
completes "ostrel-monitor --log " package previous program.log
completes "ostrel-monitor --timeout "
completes "ostrel-monitor --json -- ostrel-installer --c" --changed-only
completes "ostrel-monitor --plain -- ostrel-installer --atomic pa" package

# An installed prefix, found by another project.
"$cmake" --install "$build" --prefix "$work/prefix" >/dev/null
{ "$cmake" -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
    && "$cmake" --build "$work/consumer"; } >"$work/consumer.log" 2>&1 \
    || { cat "$work/consumer.log" >&2; fail "the consumer project"; }
PATH="$work/prefix/bin:$PATH" "$work/consumer/consumer" "$source/examples/sample-package" "$work/consumer-destination" \
    >"$work/consumer-run.log" 2>&1 || { cat "$work/consumer-run.log" >&2; fail "the consumer's install"; }
diff -r --no-dereference "$source/examples/sample-package" "$work/consumer-destination" \
    || fail "the sample package installed by the consumer differs"
echo "PASS"
