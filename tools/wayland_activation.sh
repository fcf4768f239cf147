#!/usr/bin/env bash
# Checks on a real Wayland compositor (sway, headless) that a second launch's
# XDG_ACTIVATION_TOKEN reaches the compositor through the running window's
# xdg_activation_v1.activate request. sway refuses to run as root, so as root
# this runs as the user named by -u (created when missing).
#
# Usage: tools/wayland_activation.sh [-u USER]   (needs a built build/debug)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
. "$repo/scripts/deps.sh"
ensure_packages sway qt6-wayland dbus
user=burrowlens-wl
while getopts "u:" o; do case $o in u) user=$OPTARG ;; *) sed -n '2,7p' "$0"; exit 2 ;; esac; done
app=$repo/build/debug/src/app/burrowlens
[ -x "$app" ] || { echo "build first: $app is missing" >&2; exit 2; }

work=$(mktemp -d /tmp/bl-wayland.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/home" "$work/a" "$work/b"
chmod 700 "$work/run"
if [ "$(id -u)" = 0 ]; then
    id "$user" >/dev/null 2>&1 || useradd -M -d "$work/home" "$user"
    chown -R "$user" "$work"
    chmod 755 "$work"
    as=(runuser -u "$user" --)
else
    as=()
fi
token=token-$$
cat >"$work/session.sh" <<INNER
set -u
export XDG_RUNTIME_DIR=$work/run HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
export WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman
unset DISPLAY
printf 'output HEADLESS-1 resolution 1280x800\n' >$work/sway.conf
sway -c $work/sway.conf >$work/sway.log 2>&1 & compositor=\$!
for i in \$(seq 50); do ls $work/run/wayland-? >/dev/null 2>&1 && break; sleep 0.2; done
export WAYLAND_DISPLAY=\$(basename \$(ls $work/run/wayland-? | head -1)) QT_QPA_PLATFORM=wayland
WAYLAND_DEBUG=1 $app $work/a >$work/first.log 2>&1 & first=\$!
sleep 4
XDG_ACTIVATION_TOKEN=$token $app $work/b
sleep 2
kill \$first \$compositor
INNER
(cd "$work" && "${as[@]}" dbus-run-session -- bash "$work/session.sh")
if grep -q "xdg_activation_v1@[0-9]*\.activate(\"$token\"" "$work/first.log"; then
    echo "ok: the running window activated itself with the second launch's token $token"
else
    echo "FAILED: no xdg_activation_v1.activate(\"$token\") in the running window's Wayland log" >&2
    exit 1
fi
