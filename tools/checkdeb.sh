#!/usr/bin/env bash
# Unpacks each package built by mkdeb.sh into a scratch folder and runs every
# program's --version from there (arm64 programs under qemu-aarch64). The
# drive programs run on the simulated board, never on this machine's
# hardware.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for deb in build-deb/zelmo_*.deb; do
    arch=$(dpkg-deb -f "$deb" Architecture)
    version=$(dpkg-deb -f "$deb" Version)
    dir=$(mktemp -d)
    dpkg-deb -x "$deb" "$dir"
    printf 'dir = %s/platform\n' "$dir" > "$dir/board.sim"
    run=()
    # The loader and the C library from one place (as make cross-test does).
    prefix=/usr/aarch64-linux-gnu
    [ -e /lib/ld-linux-aarch64.so.1 ] && prefix=/
    [ "$arch" = arm64 ] && [ "$(dpkg --print-architecture)" != arm64 ] && run=(qemu-aarch64 -L "$prefix")
    for p in zelconv zelview zelcopy diskread diskwrite diskwipe drivetest drivesim simctl; do
        got=$(ZELMO_SIM="$dir/board.sim" timeout 10 "${run[@]}" "$dir/usr/bin/$p" --version 2>&1 || true)
        if [ "$got" = "$p $version" ]; then
            echo "$arch $p: $got"
        else
            echo "$arch $p: expected '$p $version', got '$got'" >&2
            status=1
        fi
    done
    [ -f "$dir/usr/lib/zelmo/fddseek.wav" ] || { echo "$arch: sounds missing beside drivesim" >&2; status=1; }
    rm -rf "$dir"
done
exit $status
