# Sourced by the benchmark scripts, after setting release (the release build
# folder) and work (a scratch folder): resident sizes of programs that stay
# up once their scan is over.
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# ncdu's resident size once its scan is over: it then waits for keys, so
# its CPU time stops growing.
ncdu_resident() {
    local tree=$1 pid last=-1 now still=0
    # Its keys from a pipe that stays quiet: on a large tree, what /dev/zero
    # sends once the scan is over makes it quit before it is measured.
    sleep 3599 | TERM=xterm script -qfc "stty rows 40 cols 120; exec ncdu -x $tree" /dev/null >/dev/null 2>&1 &
    local wrapper=$!
    until pid=$(pgrep -f -n "^ncdu -x $tree\$"); do
        if ! kill -0 "$wrapper" 2>/dev/null; then # it could not start: no figure, no hang
            pkill -x -f "sleep 3599" 2>/dev/null || true
            return 1
        fi
        sleep 0.05
    done
    while [ $still -lt 10 ]; do
        sleep 0.1
        now=$(cpu_ticks "$pid")
        if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0; fi
        last=$now
    done
    rss_kib "$pid"
    kill "$pid" 2>/dev/null; kill "$wrapper" 2>/dev/null
    # wait waits for the whole pipeline, the quiet sleep included.
    pkill -x -f "sleep 3599" 2>/dev/null || true
    wait "$wrapper" 2>/dev/null || true
}

# The window's resident size once the scan is on screen.
window_resident() {
    local tree=$1
    cat >"$work/window.sh" <<ONE
home=\$(mktemp -d -p "$work")
trace=\$home/trace
XDG_DATA_HOME=\$home XDG_CONFIG_HOME=\$home BURROWLENS_TRACE=\$trace "$release/src/app/burrowlens" "$tree" 2>/dev/null &
pid=\$!
until grep -q '^stall ' "\$trace" 2>/dev/null; do sleep 0.05; done
sleep 1 # the sorted children and the chart arrive after the scan
awk '/^VmRSS/ {print \$2}' /proc/\$pid/status
kill \$pid; wait \$pid 2>/dev/null || true
ONE
    xvfb-run -a -s "-screen 0 1280x800x24" bash "$work/window.sh"
}

