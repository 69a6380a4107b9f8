#!/usr/bin/env bash
# The installed program in a read-only prefix, run as a user would run it from the menu:
#   installed-tree.sh prefix BUILD_DIR PREFIX   (re)installs BUILD_DIR into PREFIX, read-only
#   installed-tree.sh remove PREFIX             removes it again
#   installed-tree.sh run PREFIX                the checks below (PREFIX /usr: the package)
# Checks: "Init OK" lands in the log under the XDG data folder, basini.ini under the XDG
# config folder (with the keys the window saves at exit), --demo places the demo head and
# its calibration there, --version and lumetra-measure --help answer without a display,
# and not one file of the prefix is added or changed.
set -euo pipefail

die() {
    echo "FAIL: $*" >&2
    exit 1
}

case "$1" in
prefix)
    [[ -d "$3" ]] && chmod -R u+w "$3" && rm -rf "$3"
    cmake --install "$2" --prefix "$3" >/dev/null
    chmod -R a-w "$3"
    exit 0
    ;;
remove)
    [[ -d "$2" ]] && chmod -R u+w "$2" && rm -rf "$2"
    exit 0
    ;;
run) prefix="$2" ;;
*) die "unknown step $1" ;;
esac

work="$(mktemp -d)"
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
# What must stay as installed: the whole prefix, or the package's files in /usr.
manifest() {
    if [[ "$prefix" == /usr ]]; then
        dpkg-query -L lumetra | while read -r f; do [[ -f "$f" ]] && stat -c '%n %s %Y %a' "$f"; done
        ls -a /usr/bin /usr/share/lumetra
    else
        (cd "$prefix" && find . -printf '%p %s %T@ %m\n' | sort)
    fi
}
manifest >"$work/before"

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_DATA_HOME="$work/home/data"
mkdir -p "$HOME"
config="$XDG_CONFIG_HOME/lumetra"
data="$XDG_DATA_HOME/lumetra"
unset XDG_RUNTIME_DIR DISPLAY WAYLAND_DISPLAY

# Starts the installed program from another folder, waits until `ready` holds, then
# stops it as a station would (SIGTERM: the window closes and saves its settings).
run_until() {
    local ready="$1"
    shift
    (cd / && QT_QPA_PLATFORM=offscreen exec "$prefix/bin/lumetra" "$@" >"$work/out" 2>&1) &
    local pid=$! waited=0
    until eval "$ready"; do
        kill -0 "$pid" 2>/dev/null || { cat "$work/out"; die "lumetra $* ended early"; }
        ((waited++ < 600)) || { kill -KILL "$pid"; die "lumetra $* never got ready"; }
        sleep 0.1
    done
    kill -TERM "$pid"
    local status=0
    wait "$pid" || status=$?
    ((status == 0)) || { cat "$work/out"; die "lumetra $* exited with $status"; }
}
log() { cat "$data"/logs/*_kvt104.log 2>/dev/null; }

# First start: the notes dialog is open when the settings file appears (the version is
# stored before it shows); the signal answers it, the window starts and closes.
run_until '[[ -f "$config/basini.ini" ]]'
log | grep -q "Init OK" || die "no Init OK in the log under $data"
log | grep -q "Exit Ok" || die "the window did not close normally"
log | grep -q "Folders: settings in $config, data in $data" || die "the log does not name the folders"
grep -q '^WinWidth=' "$config/basini.ini" || die "basini.ini lacks the keys saved at exit"
grep -q '^Version=104' "$config/basini.ini" || die "basini.ini lacks the notes marker"

# Second start, with the demo: the head and its calibration are copied to the user folder.
run_until '[[ $(log | grep -c "Init OK") -ge 2 ]]' --demo
[[ -f "$data/demo/simulated-head.ini" ]] || die "--demo did not place the head in $data/demo"
cmp -s "$data/_calibration_40400001.kvtcal" "$prefix/share/lumetra/demo/_calibration_40400001.kvtcal" ||
    die "--demo did not place the demo calibration in $data"
log | grep -q "simulated head $data/demo/simulated-head.ini" || die "the log does not name the demo head"

# Answers that need no display.
[[ "$("$prefix/bin/lumetra" --version)" == "lumetra 1.04" ]] || die "lumetra --version"
"$prefix/bin/lumetra-measure" --help | grep -q '^usage: lumetra-measure' || die "lumetra-measure --help"
status=0
QT_QPA_PLATFORM=offscreen "$prefix/bin/lumetra" --portable --user-folders 2>/dev/null || status=$?
((status == 2)) || die "contradicting options: exit status $status, not 2"

manifest >"$work/after"
diff "$work/before" "$work/after" >&2 || die "the prefix changed"
stray="$(cd "$HOME" && find . -type f ! -path './config/lumetra/*' ! -path './data/lumetra/*')"
[[ -z "$stray" ]] || die "files outside the user folders: $stray"
echo "installed tree OK"
