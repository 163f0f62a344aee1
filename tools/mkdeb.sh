#!/usr/bin/env bash
# Builds the Debian package of ZELMO for the host's architecture or for arm64
# (Raspberry Pi OS, 64-bit), checks it with lintian, and leaves it in
# build-deb/zelmo_VERSION_ARCH.deb.
#
#   tools/mkdeb.sh [amd64|arm64]
#
# The package holds the programs (stripped) in /usr/bin, drivesim with its
# sounds in /usr/lib/zelmo (/usr/bin/drivesim links to it: it finds its
# sounds beside the file it runs from), the systemd unit (not enabled) and
# its defaults file (a conffile), a man page per program, bash completion,
# the README and the copyright file.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=${1:-$(dpkg --print-architecture)}
version=$(sed -n 's/^#define ZELMO_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\)/\2/p' common/version.h | paste -sd.)
out=build-deb
build=$out/build-$arch
root=$out/root-$arch
# Debian's hardening: fortified libc calls, stack protector, read-only
# relocations bound at start.
flags=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DZELMO_TESTS=OFF -DZELMO_BENCH=OFF
       "-DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=2 -fstack-protector-strong"
       "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now")
strip=strip
case "$arch" in
arm64)
    flags+=(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-toolchain.cmake)
    strip=aarch64-linux-gnu-strip
    ;;
"$(dpkg --print-architecture)") ;;
*) echo "mkdeb: no build for $arch" >&2; exit 2 ;;
esac

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" "${generator[@]}" "${flags[@]}"
cmake --build "$build" -j "$(nproc)"
rm -rf "$root"
DESTDIR="$PWD/$root" cmake --install "$build" >/dev/null

# Programs stripped of their symbols; man pages and the changelog compressed.
for f in "$root"/usr/bin/* "$root"/usr/lib/zelmo/drivesim; do
    [ -L "$f" ] || "$strip" --strip-unneeded --remove-section=.comment --remove-section=.note "$f"
done
gzip -9n "$root"/usr/share/man/man1/*.1
doc="$root/usr/share/doc/zelmo"
rm -f "$doc/LICENSE"
cat > "$doc/copyright" <<EOF
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: zelmo
Source: https://example.org/zelmo

Files: *
Copyright: 2026 The ZELMO developers
License: Expat

License: Expat
$(sed -e '1,/^$/d' -e 's/^$/./' -e 's/^/ /' LICENSE)
EOF
printf 'zelmo (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- ZELMO developers <zelmo@example.org>  %s\n' \
    "$version" "$version" "$(date -R -d @"${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}")" |
    gzip -9n > "$doc/changelog.gz"
gzip -9n "$doc/README.md"

mkdir -p "$root/DEBIAN"
installed=$(du -ks --exclude=DEBIAN "$root" | cut -f1)
cat > "$root/DEBIAN/control" <<EOF
Package: zelmo
Version: $version
Architecture: $arch
Maintainer: ZELMO developers <zelmo@example.org>
Installed-Size: $installed
Depends: libc6 (>= 2.34)$(grep -qs 'ZLIB' CMakeLists.txt && echo ', zlib1g (>= 1:1.2.3)')
Section: otherosfs
Priority: optional
Homepage: https://example.org/zelmo
Description: floppy disk toolkit: drive emulator, disk reader and writer, image tools
 Toward a host computer (Sharp X68000, NEC PC-98, any machine with the common
 34-pin interface) a Raspberry Pi with the interface board emulates one or two
 floppy drives from image files (drivesim, controlled by simctl). Toward a real
 drive it dumps disks with flux timing (diskread), writes images back and
 verifies them (diskwrite), erases disks (diskwipe) and measures drives
 (drivetest). On any machine it converts, views and patches images (zelconv,
 zelview, zelcopy): ZEL, HFE, D88, plain dumps, DIM, FDI, FDD and NFD. A
 conversion succeeds only when every sector reaches the destination.
EOF
echo /etc/default/drivesim > "$root/DEBIAN/conffiles"
(cd "$root" && find . -path ./DEBIAN -prune -o -type f -print | sed 's|^\./||' | sort | xargs md5sum) > "$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 0755 {} +
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/conffiles" "$root/DEBIAN/md5sums"

deb="$out/zelmo_${version}_${arch}.deb"
dpkg-deb --build --root-owner-group "$root" "$deb" >/dev/null
echo "$deb"
if command -v lintian >/dev/null 2>&1; then
    lintian --fail-on error --suppress-tags-from-file tools/lintian-overrides.txt "$deb"
fi
