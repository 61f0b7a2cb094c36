#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Velumo developers
#
# Installs a build folder with prefix /usr into a scratch DESTDIR, as a package build does, and
# checks that exactly the expected files land there with the expected modes, that the compressed
# files are what Debian wants (gzip -9n: no name, no time stamp) and that man reads the page
# without a warning.
# Usage: check-install-tree.sh <build-dir> <scratch-dir> <source-dir>
# With VELUMO_BUNDLED set (the build's VELUMO_BUNDLED_CLOUDFLARED), the bundled tool is expected
# too, byte for byte that file.
set -euo pipefail

build=$1
work=$2
source=$3
bundled=${VELUMO_BUNDLED:-}

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

rm -rf "$work"
mkdir -p "$work"
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" ||
    { cat "$work/install.log" >&2; exit 1; }

# Every file, with its mode; the executable parts are 755, everything else 644.
expected=(
    "755 usr/bin/velumo"
    "644 usr/share/applications/org.velumo.Velumo.desktop"
    "644 usr/share/dbus-1/services/org.velumo.Velumo.service"
    "644 usr/share/doc/velumo/README.md"
    "644 usr/share/doc/velumo/automation.md"
    "644 usr/share/doc/velumo/changelog.gz"
    "644 usr/share/doc/velumo/copyright"
    "644 usr/share/icons/hicolor/scalable/apps/org.velumo.Velumo.svg"
    "644 usr/share/man/man1/velumo.1.gz"
    "644 usr/share/metainfo/org.velumo.Velumo.metainfo.xml"
)
if [ -n "$bundled" ]; then
    expected+=("755 usr/libexec/velumo/cloudflared")
fi
actual=$(cd "$root" && find . -not -type d -printf '%m %P\n' | LC_ALL=C sort)
wanted=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
if [ "$actual" != "$wanted" ]; then
    fail "installed files differ from the expected ones (< expected, > installed):"
    diff <(echo "$wanted") <(echo "$actual") >&2 || true
fi

odd_dirs=$(cd "$root" && find . -mindepth 1 -type d -not -perm 755 -printf '%m %P\n')
[ -z "$odd_dirs" ] || fail "folders whose mode is not 755: $odd_dirs"

# gzip -9n leaves the name out, so the flags byte is 0, and the time stamp (bytes 5-8) is zero.
for gz in usr/share/man/man1/velumo.1.gz usr/share/doc/velumo/changelog.gz; do
    [ -f "$root/$gz" ] || continue
    header=$(od -An -tx1 -N10 "$root/$gz" | tr -d ' \n')
    [[ $header == 1f8b0800000000000203 ]] ||
        fail "$gz: not gzip -9n output (header $header)"
done

if [ -f "$root/usr/share/man/man1/velumo.1.gz" ]; then
    cmp -s <(gzip -dc "$root/usr/share/man/man1/velumo.1.gz") "$source/data/velumo.1" ||
        fail "the installed man page is not data/velumo.1"
    if command -v man >/dev/null; then
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
            "$root/usr/share/man/man1/velumo.1.gz" 2>&1 >/dev/null) || true
        [ -z "$warnings" ] || fail "man warns about the page: $warnings"
    fi
fi
if [ -f "$root/usr/share/doc/velumo/changelog.gz" ]; then
    cmp -s <(gzip -dc "$root/usr/share/doc/velumo/changelog.gz") "$source/data/debian/changelog" ||
        fail "the installed changelog is not data/debian/changelog"
fi

copyright=$root/usr/share/doc/velumo/copyright
if [ -f "$copyright" ]; then
    head -n 1 "$copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
        fail "copyright is not in the machine-readable format"
    if [ -n "$bundled" ]; then
        grep -q '^License: Apache-2.0$' "$copyright" || fail "copyright lacks cloudflared's licence"
    else
        ! grep -q 'cloudflared' "$copyright" || fail "copyright names a cloudflared that is not bundled"
    fi
fi

if [ -n "$bundled" ] && [ -f "$root/usr/libexec/velumo/cloudflared" ]; then
    cmp -s "$bundled" "$root/usr/libexec/velumo/cloudflared" ||
        fail "usr/libexec/velumo/cloudflared is not a copy of $bundled"
fi

if [ "$failures" -ne 0 ]; then
    echo "Installed tree in $root:" >&2
    (cd "$root" && find . -printf '%M %P\n' | LC_ALL=C sort -k2) >&2
    exit 1
fi
echo "install tree OK: $(echo "$actual" | wc -l) files under $root"
