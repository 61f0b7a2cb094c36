#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# SPDX-FileCopyrightText: 2026 The Velumo developers
#
# Builds the Debian package from a build folder with cpack (into a scratch folder, leaving the
# build folder alone) and runs lintian on it. Any error or warning fails, as does a package whose
# files are not all root:root. Informational tags are shown but pass.
# Usage: check-deb.sh <build-dir> <scratch-dir>; CPACK names the cpack to use (default: cpack).
# With VELUMO_BUNDLED set (the build bundles cloudflared), complaints about the bundled
# third-party binary itself are shown but do not fail: it is shipped as Cloudflare builds it.
set -euo pipefail

build=$1
work=$2
cpack=${CPACK:-cpack}
bundled=${VELUMO_BUNDLED:-}

rm -rf "$work"
mkdir -p "$work"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; exit 1; }
debs=("$work"/velumo_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: cpack made no single package" >&2; exit 1; }
deb=${debs[0]}
echo "package: $deb"
dpkg-deb --field "$deb"

not_root=$(dpkg-deb --fsys-tarfile "$deb" | tar -tvf - | awk '$2 != "root/root"')
if [ -n "$not_root" ]; then
    echo "FAIL: entries not owned by root:root:" >&2
    echo "$not_root" >&2
    exit 1
fi

# lintian's own exit status only says whether it ran; the tags decide.
set +e
report=$(lintian --display-info --fail-on none "$deb" 2>&1)
status=$?
set -e
echo "lintian $(lintian --version | awk '{print $2}'):"
echo "${report:-(no tags)}"
[ "$status" -eq 0 ] || { echo "FAIL: lintian did not run (status $status)" >&2; exit 1; }

serious=$(echo "$report" | grep -E '^[EW]: ' || true)
if [ -n "$bundled" ]; then
    serious=$(echo "$serious" | grep -v -F '[usr/libexec/velumo/cloudflared]' || true)
fi
if [ -n "$serious" ]; then
    echo "FAIL: lintian reports errors or warnings:" >&2
    echo "$serious" >&2
    exit 1
fi
echo "lintian: no errors, no warnings"
