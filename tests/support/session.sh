# Helpers the shell tests and the screenshot script share; sourced, never run.
#
#   work              a temporary folder, removed at exit with every process in `pids`
#   until_true T CMD  polls CMD every tenth of a second, at most T times
#   start_xvfb WxH    an X server on a free display; DISPLAY and XDG_RUNTIME_DIR set; exits 77
#                     (skipped) when none can start

work=$(mktemp -d)
pids=()
cleanup() {
    [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

until_true() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}

start_xvfb() {
    # Xvfb picks a free display and writes its number once it accepts clients.
    Xvfb -displayfd 3 -screen 0 "$1x24" -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
    pids+=($!)
    until_true 100 test -s "$work/display" || { echo "SKIP: Xvfb did not start"; exit 77; }
    export DISPLAY=:$(cat "$work/display")
    export XDG_RUNTIME_DIR=$work/runtime
    mkdir -m 0700 "$XDG_RUNTIME_DIR"
}
