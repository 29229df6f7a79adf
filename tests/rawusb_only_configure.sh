#!/usr/bin/env bash
# That a DECKCTL_RAWUSB_ONLY build (deckctl-mac alone, as on macOS) still configures, and that
# what it would build needs none of the Linux bindings, the window, the preview or the emulated
# devices. Configures the option in a folder of its own, building nothing (seconds), and checks
#  - the target graph: deckctl-mac and its tests are there; nothing links Qt Gui, Widgets or
#    OpenGL, FFmpeg, libpulse, libudev, umockdev or xcb, and no Linux-binding, window, preview or
#    emulated-device library is defined;
#  - the sources it would compile and every header of the source tree they include: none includes
#    a Linux kernel header, libudev, libpulse, FFmpeg, umockdev, xcb or a Qt Gui/Widgets header.
# scripts/build-rawusb-only.sh builds the option and runs its tests.
#
#   rawusb_only_configure.sh <source dir> <work dir> [cmake] [generator]
set -euo pipefail
source_dir=$(cd "${1:?usage: rawusb_only_configure.sh <source dir> <work dir> [cmake] [generator]}" && pwd)
work=${2:?usage: rawusb_only_configure.sh <source dir> <work dir> [cmake] [generator]}
cmake=${3:-cmake}
generator=${4:-Ninja}

rm -rf "$work"
mkdir -p "$work/graph"
if ! "$cmake" -S "$source_dir" -B "$work/build" -G "$generator" -DDECKCTL_RAWUSB_ONLY=ON \
    --graphviz="$work/graph/targets.dot" >"$work/configure.log" 2>&1; then
    cat "$work/configure.log"
    echo "FAIL: DECKCTL_RAWUSB_ONLY=ON does not configure" >&2
    exit 1
fi

failures=0
fail() {
    echo "FAIL: $1" >&2
    failures=$((failures + 1))
}

# The target graph (one node line per target or linked library, with its name as label).
graph=$work/graph/targets.dot
for wanted in deckctl-mac deckctl_mac tst_mac_uvc tst_mac_sstar tst_mac_package tst_cli_mac; do
    grep -q "label = \"$wanted\"" "$graph" || fail "target $wanted is missing"
done
forbidden_targets='Qt5::(Gui|Widgets|OpenGL)|PkgConfig::(FFMPEG|PULSE|UDEV|UMOCKDEV|XCB)'
forbidden_targets+='|deckctl_(device_linux|workers|ui|resources|windowfixture|sim_umockdev)|deckctl(-cli)?"'
if hits=$(grep -E "label = \"($forbidden_targets)" "$graph"); then
    fail "the target graph names what this build must not need:"$'\n'"$hits"
fi

# The sources to compile, and the headers of the source tree they reach.
commands=$work/build/compile_commands.json
[ -f "$commands" ] || { fail "no $commands"; exit 1; }
declare -A seen
queue=()
while IFS= read -r file; do
    queue+=("$file")
done < <(sed -n 's/^ *"file": *"\(.*\)",\{0,1\}$/\1/p' "$commands" | sort -u)
[ "${#queue[@]}" -gt 0 ] || fail "no source to compile in $commands"
while [ "${#queue[@]}" -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    [ -n "${seen[$file]+x}" ] && continue
    [ -f "$file" ] || continue # generated at build time (moc, rcc)
    seen[$file]=1
    while IFS= read -r name; do
        for candidate in "$(dirname "$file")/$name" "$source_dir/$name"; do
            if [ -f "$candidate" ]; then
                queue+=("$(realpath "$candidate")")
                break
            fi
        done
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done
forbidden_headers='linux/|scsi/|libudev\.h|pulse/|libav[a-z]*/|libsw[a-z]*/|umockdev|xcb/|QtGui|QtWidgets'
forbidden_headers+='|Q(Gui)?Application|QWidget|QFont|QImage|QPixmap|QPainter|QIcon|QColor|QScreen|QWindow'
if hits=$(grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($forbidden_headers)" "${!seen[@]}"); then
    fail "sources of this build include what it must not need:"$'\n'"$hits"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed; configure log: $work/configure.log" >&2
    exit 1
fi
echo "DECKCTL_RAWUSB_ONLY: configures; ${#seen[@]} source and header files, none with a Linux or window binding"
