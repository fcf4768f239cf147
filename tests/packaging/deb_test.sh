#!/usr/bin/env bash
# Builds the Debian package of the build with cpack, checks it with lintian,
# unpacks it into a temporary root and runs both programs from there.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) \
    || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/burrowlens_*_*.deb)
echo "built $(basename "$deb")"

# Dependencies worked out from the programs' libraries.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6dbus6 libglib2.0-0 libzstd1 libc6; do
    grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib: $depends"; exit 1; }
done

[ "$(dpkg-deb -f "$deb" Recommends)" = qt6-wayland ]

# CPack calls ldconfig for any shared object below /usr/lib; the chart
# module is private to burrowlens-scan and never in the loader's path.
if lintian --fail-on error,warning --suppress-tags maintscript-calls-ldconfig "$deb" >"$work/lintian.log" 2>&1; then
    :
else
    grep -v 'root privileges' "$work/lintian.log"
    exit 1
fi

root=$work/root
dpkg-deb -x "$deb" "$root"
for page in burrowlens burrowlens-scan; do
    man -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null | grep -q "^NAME" \
        || { echo "the manual page of $page does not read"; exit 1; }
done
version=$(dpkg-deb -f "$deb" Version)
[ "$("$root/usr/bin/burrowlens-scan" --version)" = "burrowlens-scan $version" ]
[ "$("$root/usr/bin/burrowlens" --version)" = "burrowlens $version" ]

tree=$work/tree
mkdir -p "$tree/-odd" && head -c 70000 /dev/zero >"$tree/-odd/big.bin"
"$root/usr/bin/burrowlens-scan" --top=1 -- "$tree" | grep -q -- "-odd"
QT_QPA_PLATFORM=offscreen "$root/usr/bin/burrowlens-scan" --chart="$work/chart.png" --size=120 "$tree" >/dev/null
[ -s "$work/chart.png" ] || { echo "the packaged burrowlens-scan drew no chart"; exit 1; }
# Without a display the window's program prints the report beside it.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM PATH=/usr/bin:/bin "$root/usr/bin/burrowlens" "$tree" 2>/dev/null \
    | grep -q "^$tree\$"
echo "package ok"
