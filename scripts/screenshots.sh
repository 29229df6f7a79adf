#!/usr/bin/env bash
# Pictures of the main window in named states, as PNG files of the whole screen (1280x800):
#   scripts/screenshots.sh OUTDIR [STATE...]
# States (all of them when none is named): empty, two-cameras, video-page, color-page,
# tracking-off, tracking-auto, notice, dark, zh, and the Support page's support (with the
# versions), upgrade-ready (the consent dialog over the overlay), upgrading (the bar and the step
# under it), upgrade-done (the result box), recovery-prompt (a camera found in the boot ROM) and
# factory-reset-confirm. Each Support page state gives two pictures: STATE.png in the light theme
# and STATE-dark.png in the dark one.
#
# The window runs on two virtual cameras in the window_shots tool (tests/tools/window_shots.cpp),
# which drives it into each state through its widgets and grabs the screen of a private X server
# started here. Everything the run writes (settings, log, camera state) stays in a temporary
# directory: the user's settings and log are not touched.
#
# Environment:
#   DECKCTL_BUILD_DIR       build directory (default: build); configured here when it is not yet
#   DECKCTL_SHOTS_NO_BUILD  1: use what is built, build nothing (the test does this)
#   DECKCTL_SHOTS_KEEP      1: keep the temporary directory (settings, log, camera state, journal)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

all_states=(empty two-cameras video-page color-page tracking-off tracking-auto notice dark zh
    support upgrade-ready upgrading upgrade-done recovery-prompt factory-reset-confirm)
[ $# -ge 1 ] || { echo "usage: $0 OUTDIR [STATE...]" >&2; exit 2; }
out=$1
shift
states=("$@")
[ ${#states[@]} -gt 0 ] || states=("${all_states[@]}")

build=${DECKCTL_BUILD_DIR:-$root/build}
if [ "${DECKCTL_SHOTS_NO_BUILD:-0}" != 1 ]; then
    # The tool is built with the tests; a build directory configured without them (scripts/run.sh)
    # is configured again with them.
    if [ ! -f "$build/CMakeCache.txt" ] || grep -q '^DECKCTL_BUILD_TESTS:BOOL=OFF' "$build/CMakeCache.txt"; then
        cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDECKCTL_BUILD_TESTS=ON
    fi
    cmake --build "$build" --target window_shots deckctl_translations
fi
tool=$build/bin/window_shots
[ -x "$tool" ] || { echo "screenshots: $tool is not built" >&2; exit 2; }
command -v Xvfb >/dev/null || { echo "screenshots: Xvfb is not installed (scripts/install-deps.sh)" >&2; exit 2; }

mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
xvfb_pid=""
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    if [ "${DECKCTL_SHOTS_KEEP:-0}" = 1 ]; then
        echo "screenshots: kept $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The tool reads its settings file beside its executable, as the program does: a copy of it in a
# directory of its own, with the translation, keeps the build directory's settings out of it.
app=$work/app
mkdir -p "$app" "$work/home" "$work/run"
chmod 700 "$work/run"
cp "$tool" "$app/"
[ -f "$build/bin/zh_tr.qm" ] && cp "$build/bin/zh_tr.qm" "$app/"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_RUNTIME_DIR=$work/run

# Two cameras of brand 0 (models 7 "QB18" and 6 "QB18Z") on two ports.
cat >"$work/cameras.json" <<'EOF'
{"cameras": [{"model": 7, "port": "1-1"}, {"model": 6, "port": "1-2"}]}
EOF
export DECKCTL_VIRTUAL_CAMERA=$work/cameras.json
export DECKCTL_VIRTUAL_STATE=$work/state.json
export DECKCTL_VIRTUAL_JOURNAL=$work/journal.jsonl

settings() { # LANGUAGE_CN
    printf '[product_model]\nmain=0\n\n[style]\nindex=0\n\n[ChangeLanguage]\nLanguageCN=%s\n' "$1" \
        >"$app/product.ini"
}

# A private X server on a free display number (Xvfb picks it and writes it to fd 3).
exec 3<>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "screenshots: Xvfb did not start: $(cat "$work/xvfb.log")" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")" QT_QPA_PLATFORM=xcb
unset QT_SCALE_FACTOR QT_SCREEN_SCALE_FACTORS QT_AUTO_SCREEN_SCALE_FACTOR

# Chinese needs its own start (the language is read once, at start, as in the program).
english=()
chinese=()
for state in "${states[@]}"; do
    if [ "$state" = zh ]; then chinese+=("$state"); else english+=("$state"); fi
done
status=0
if [ ${#english[@]} -gt 0 ]; then
    settings false
    "$app/window_shots" "$out" "${english[@]}" || status=1
fi
if [ ${#chinese[@]} -gt 0 ]; then
    settings true
    "$app/window_shots" "$out" "${chinese[@]}" || status=1
fi
if [ "$status" != 0 ] && [ -f "$HOME/.ld/ld.log" ]; then
    echo "screenshots: the end of the window's log:" >&2
    tail -n 40 "$HOME/.ld/ld.log" >&2
fi
exit "$status"
