# Shared by the scripts: a private X display (Xvfb) and a warm Wine prefix,
# both torn down when the calling script exits. Source it, then call
# session_start.

QUORVEL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvel/wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

session_pids=()

session_stop() {
    wineserver -k >/dev/null 2>&1 || true
    for pid in "${session_pids[@]}"; do
        kill "$pid" >/dev/null 2>&1 || true
    done
}

# Starts Xvfb on the first free display when none is given.
session_display() {
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return
    fi
    local n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    # -noreset: by default the server resets when its last client leaves and
    # refuses connections meanwhile, so back-to-back test programs failed
    # to open the display now and then.
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    session_pids+=($!)
    export DISPLAY=":$n"
    for _ in $(seq 50); do
        xdpyinfo >/dev/null 2>&1 && return
        sleep 0.1
    done
    echo "session: Xvfb did not start on $DISPLAY" >&2
    exit 1
}

# Whether this machine runs 32-bit x86 programs, as Wine's loader for the
# i686 build is one. Some virtual machines (a PVM guest, for one) have no
# 32-bit user mode: every such program fails with "Exec format error".
session_runs_i386() {
    [ -x /lib/ld-linux.so.2 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

# Creates the Wine prefix once, then keeps one wineserver alive so that
# every Windows program starts in a fraction of a second.
session_wine() {
    command -v wine >/dev/null 2>&1 || return 0 # a Linux-only setup
    if ! session_runs_i386; then
        export QUORVEL_NO_I386=1
        echo "session: this machine cannot run 32-bit programs; the Win32 code is tested from a 64-bit build"
    fi
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "session: creating the Wine prefix in $WINEPREFIX (once)"
        "$QUORVEL_ROOT/cmake/wine-run" wineboot -i >/dev/null 2>&1 || true
        wineserver -w || true
    fi
    wineserver -p >/dev/null 2>&1 || true
    # The first programs of a new wineserver can hang when several start at
    # once (as parallel tests do); one start on its own settles it.
    timeout 120 "$QUORVEL_ROOT/cmake/wine-run" cmd /c exit >/dev/null 2>&1 || true
}

session_start() {
    trap session_stop EXIT
    session_display
    session_wine
}
