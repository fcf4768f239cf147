#!/usr/bin/env bash
# Installs the build into a temporary root and checks what a desktop needs:
# both programs, the chart module where burrowlens-scan looks for it, and
# the desktop file, icon and AppStream metadata, each valid.
set -euo pipefail
build=$1 source=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
share=$root/usr/share
for f in usr/bin/burrowlens usr/bin/burrowlens-scan \
         share/applications/com.quillfen.burrowlens.desktop \
         share/icons/hicolor/scalable/apps/com.quillfen.burrowlens.svg \
         share/metainfo/com.quillfen.burrowlens.metainfo.xml; do
    f=${f/#share/usr/share}
    [ -e "$root/$f" ] || { echo "missing after install: /$f"; exit 1; }
done
desktop-file-validate "$share/applications/com.quillfen.burrowlens.desktop"
grep -qx 'Exec=burrowlens %U' "$share/applications/com.quillfen.burrowlens.desktop"
grep -qx 'MimeType=inode/directory;' "$share/applications/com.quillfen.burrowlens.desktop"
appstreamcli validate --no-net --pedantic "$share/metainfo/com.quillfen.burrowlens.metainfo.xml" >/dev/null \
    || appstreamcli validate --no-net "$share/metainfo/com.quillfen.burrowlens.metainfo.xml"
python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
    "$share/icons/hicolor/scalable/apps/com.quillfen.burrowlens.svg"

# The installed report finds its chart module under lib/burrowlens.
tree=$(mktemp -d)
mkdir -p "$tree/a" && head -c 50000 /dev/zero >"$tree/a/f"
out=$(mktemp --suffix=.png)
QT_QPA_PLATFORM=offscreen "$root/usr/bin/burrowlens-scan" --chart "$out" --size 120 "$tree" >/dev/null
[ -s "$out" ] || { echo "the installed burrowlens-scan drew no chart"; exit 1; }
rm -rf "$tree" "$out"
echo "install layout ok"
