#!/usr/bin/env bash
# Starts the real program with a fresh home directory, waits for its start-up lines, asks it to
# terminate and checks that it exits cleanly and that the log has the expected layout.
#   program_smoke.sh PROGRAM offscreen|xvfb
# Exit 77 (skipped) when the requested display is not available.
set -u
program=$1
mode=$2

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/home/.ld/ld.log" ] && cat "$work/home/.ld/ld.log" >&2; exit 1; }

mkdir -p "$work/home"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 -p "$XDG_RUNTIME_DIR"

if [ "$mode" = xvfb ]; then
    command -v Xvfb >/dev/null || { echo "Xvfb not installed"; exit 77; }
    exec 3<> "$work/display"
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || { echo "Xvfb did not start"; exit 77; }
    export DISPLAY=":$(head -n1 "$work/display")" QT_QPA_PLATFORM=xcb
else
    export QT_QPA_PLATFORM=offscreen
fi

"$program" >"$work/stdout" 2>"$work/stderr" &
pid=$!
log="$HOME/.ld/ld.log"
for _ in $(seq 200); do
    grep -q -- "- System Start!" "$log" 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || fail "program exited early: $(cat "$work/stderr")"
    sleep 0.1
done
grep -q -- "- System Start!" "$log" 2>/dev/null || fail "no start-up lines in $log"

if [ "$mode" = xvfb ] && command -v xwininfo >/dev/null; then
    for _ in $(seq 50); do xwininfo -root -tree 2>/dev/null | grep -q '"Lumadeck"' && break; sleep 0.1; done
    xwininfo -root -tree | grep -q '"Lumadeck"' || fail "no window titled Lumadeck on $DISPLAY"
fi

kill -TERM "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; fail "program did not exit after SIGTERM"; }
wait "$pid"
rc=$?
[ "$rc" -eq 0 ] || fail "exit status $rc: $(cat "$work/stderr")"

# Nothing but the pre-handler "log filepath:" line goes to standard error; nothing to standard output.
# The system's OpenGL stack writes its own diagnostics there when its driver cannot be loaded
# (which driver a machine has is not ours to decide); those lines are not the program's.
[ -s "$work/stdout" ] && fail "unexpected standard output: $(cat "$work/stdout")"
grep -v -e "^log filepath: $log\$" -e "^QStandardPaths:" \
    -e "^libGL error: " -e "^libGL warning: " -e "^libEGL warning: " -e "^MESA: " -e "^MESA-LOADER: " \
    "$work/stderr" | grep -q . &&
    fail "unexpected standard error: $(cat "$work/stderr")"

stamp='\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\]'
rule='---------------------------------------------------'
# A release build logs without source context ("-I- : text"); a debug build adds file, line and
# function ("-I-  file(12) <<int main(int, char**)>>: text").
tag='-I- (| [^ ]+\([0-9]+\) <<.*>>): '
expected=("$stamp $tag$rule" "$stamp $tag- System Start!" "$stamp $tag$rule")
mapfile -t lines < "$log"
[ "${#lines[@]}" -ge 3 ] || fail "too few log lines"
for i in 0 1 2; do
    printf '%s' "${lines[$i]}" | grep -q -E "^${expected[$i]}"$'\r''$' || fail "line $i: ${lines[$i]}"
done
echo "ok: $mode"
