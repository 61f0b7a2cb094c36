#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Velumo developers
#
# Builds Velumo with the stand-in bundled as its cloudflared (VELUMO_BUNDLED_CLOUDFLARED), makes
# the Debian package, unpacks it into a throw-away root with dpkg-deb -x, and then, on a private
# session bus:
#  1. starts the installed usr/bin/velumo offscreen: it comes up and takes its bus name, a second
#     start hands over to it and exits 0 at once, and SIGTERM makes it quit in order with status 0;
#  2. runs velumo-installed-lookup from usr/bin beside the installed velumo: the tool lookup, from
#     the installed layout, finds usr/libexec/velumo/cloudflared (the bundled stand-in), and a
#     tunnel created through the controller records the address the quick-tunnel transcript
#     announces, in the store under XDG_CONFIG_HOME.
# It does not press Create in the installed window: the app has no way to be driven from outside,
# so step 2 runs the same core code, linked into the helper, from the same place in the tree.
#
# Usage: deb-smoke.sh <scratch-dir>. The environment names the inputs: VELUMO_SOURCE_DIR,
# VELUMO_STANDIN, VELUMO_LOOKUP_HELPER, VELUMO_TRANSCRIPT, CMAKE, CPACK, and for configuring the
# bundled build like the calling one VELUMO_GENERATOR, VELUMO_MAKE_PROGRAM, VELUMO_CXX_COMPILER,
# VELUMO_BUILD_TYPE. The bundled build is kept in <scratch-dir>/build, so later runs rebuild only
# what changed.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

show() {
    echo "--- $1" >&2
    cat "$1" >&2 || true
}

in_session() {
    local root=$1 work=$2
    local home=$work/home
    mkdir -p "$home/config" "$home/lookup-config" "$home/cache" "$home/data"
    mkdir -m 700 -p "$home/runtime"
    export QT_QPA_PLATFORM=offscreen
    export XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache XDG_DATA_HOME=$home/data
    export XDG_RUNTIME_DIR=$home/runtime
    unset XDG_ACTIVATION_TOKEN DESKTOP_STARTUP_ID

    local velumo=$root/usr/bin/velumo
    "$velumo" >"$work/first.log" 2>&1 &
    local pid=$!
    local owned=""
    for _ in $(seq 150); do
        kill -0 "$pid" 2>/dev/null || { show "$work/first.log"; fail "the installed velumo ended at start"; }
        if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.velumo.Velumo 2>/dev/null |
            grep -q 'boolean true'; then
            owned=yes
            break
        fi
        sleep 0.1
    done
    [ -n "$owned" ] || { kill -KILL "$pid"; show "$work/first.log"; fail "velumo never took its bus name"; }
    echo "installed velumo is up (pid $pid) and owns org.velumo.Velumo"

    local status=0
    timeout 10 "$velumo" >"$work/second.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ] || grep -q 'did not answer' "$work/second.log"; then
        kill -KILL "$pid"
        show "$work/second.log"
        fail "a second start did not hand over to the running velumo (status $status)"
    fi
    kill -0 "$pid" 2>/dev/null || { show "$work/first.log"; fail "the running velumo ended when started again"; }
    echo "a second start handed over to it and exited 0"

    kill -TERM "$pid"
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid"
        show "$work/first.log"
        fail "velumo still runs 10 s after SIGTERM"
    fi
    status=0
    wait "$pid" || status=$?
    [ "$status" -eq 0 ] || { show "$work/first.log"; fail "velumo exited with status $status on SIGTERM"; }
    echo "SIGTERM: it quit with status 0"

    local helper=$root/usr/bin/velumo-installed-lookup
    cp "$VELUMO_LOOKUP_HELPER" "$helper"
    status=0
    XDG_CONFIG_HOME=$home/lookup-config VELUMO_STANDIN_SCRIPT=$VELUMO_TRANSCRIPT \
        timeout 30 "$helper" >"$work/lookup.log" 2>&1 || status=$?
    cat "$work/lookup.log"
    [ "$status" -eq 0 ] || fail "velumo-installed-lookup exited with status $status"

    local tool address expected
    tool=$(sed -n 's/^tool: //p' "$work/lookup.log")
    [ "$tool" = "$(realpath "$root/usr/libexec/velumo/cloudflared")" ] ||
        fail "the lookup found \"$tool\", not the bundled usr/libexec/velumo/cloudflared"
    expected=$(grep -o -m 1 'https://[a-z0-9-]*\.trycloudflare\.com' "$VELUMO_TRANSCRIPT")
    address=$(sed -n 's/^address: //p' "$work/lookup.log")
    [ "$address" = "$expected" ] || fail "recorded \"$address\", expected \"$expected\""
    local store=$home/lookup-config/velumo/storedTunnels.json
    [ -f "$store" ] || fail "nothing stored at $store"
    grep -q -F "${expected#https://}" "$store" || { show "$store"; fail "the stored list lacks $expected"; }
    echo "the bundled tool was found from the installed layout and $address was recorded in $store"
}

if [ "${1:-}" = --in-session ]; then
    in_session "$2" "$3"
    exit 0
fi

work=$1
: "${VELUMO_SOURCE_DIR:?}" "${VELUMO_STANDIN:?}" "${VELUMO_LOOKUP_HELPER:?}" "${VELUMO_TRANSCRIPT:?}"
cmake=${CMAKE:-cmake}
cpack=${CPACK:-cpack}
mkdir -p "$work"

build=$work/build
# Only what the package holds: no tests, benchmarks or fuzzers.
configure=(-S "$VELUMO_SOURCE_DIR" -B "$build" -DBUILD_TESTING=OFF -DVELUMO_BENCH=OFF
           -DVELUMO_FUZZ=OFF "-DVELUMO_BUNDLED_CLOUDFLARED=$VELUMO_STANDIN")
[ -z "${VELUMO_GENERATOR:-}" ] || configure+=(-G "$VELUMO_GENERATOR")
[ -z "${VELUMO_MAKE_PROGRAM:-}" ] || configure+=("-DCMAKE_MAKE_PROGRAM=$VELUMO_MAKE_PROGRAM")
[ -z "${VELUMO_CXX_COMPILER:-}" ] || configure+=("-DCMAKE_CXX_COMPILER=$VELUMO_CXX_COMPILER")
[ -z "${VELUMO_BUILD_TYPE:-}" ] || configure+=("-DCMAKE_BUILD_TYPE=$VELUMO_BUILD_TYPE")
started=$SECONDS
"$cmake" "${configure[@]}" >"$work/configure.log" 2>&1 || { show "$work/configure.log"; fail "configure"; }
"$cmake" --build "$build" >"$work/build.log" 2>&1 || { show "$work/build.log"; fail "build"; }
echo "bundled build ready in $((SECONDS - started)) s"

rm -rf "$work/package" "$work/root" "$work/home"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    { show "$work/cpack.log"; fail "cpack"; }
debs=("$work"/package/velumo_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no package"
deb=${debs[0]}
echo "package: $deb"

entry=$(dpkg-deb --contents "$deb" | awk '$6 == "./usr/libexec/velumo/cloudflared"')
[[ $entry == "-rwxr-xr-x root/root "* ]] ||
    fail "usr/libexec/velumo/cloudflared is not in the package as -rwxr-xr-x root/root: ${entry:-missing}"
root=$work/root
dpkg-deb -x "$deb" "$root"
cmp -s "$VELUMO_STANDIN" "$root/usr/libexec/velumo/cloudflared" ||
    fail "the bundled tool in the package is not an unchanged copy of $VELUMO_STANDIN"
echo "package holds the stand-in, unchanged, as usr/libexec/velumo/cloudflared"

dbus-run-session -- "$0" --in-session "$root" "$work"
