#!/usr/bin/env bash
# Renders the window's pictures from their SVG sources (resources/art/, resources/icons/) into
# the PNGs and GIFs under resources/qss/ and resources/icons/, and writes resources/theme.qrc,
# which compiles them with the two style sheets (resources/qss/light.css and dark.css) into the
# program. Run it after changing a source and commit its output with the source.
#
# Every PNG is written twice: NAME.png at the size the window lays it out, and NAME@2x.png at
# twice that size, which Qt picks by itself on screens with a device-pixel ratio of 2 for
# border-image, background-image and QIcon files.
#
# One source serves several pictures: a colour, an opacity or a rotation written in the source
# is replaced per theme, state or direction (the `render` calls below say which).
#
# Needs rsvg-convert (librsvg2-bin), ffmpeg and gifsicle (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in rsvg-convert ffmpeg gifsicle; do
    if ! command -v "$tool" >/dev/null; then
        echo "render-art.sh: $tool is missing; run scripts/install-deps.sh" >&2
        exit 1
    fi
done

art=resources/art
out=resources/qss
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Escapes a literal text for use as a sed pattern or replacement.
sed_literal() { printf '%s' "$1" | sed -e 's/[][\/.*^$&|]/\\&/g'; }

# substitute SOURCE TARGET [FROM=>TO ...]: copies SOURCE to TARGET replacing each literal FROM.
# A FROM that the source does not contain is an error (a variant that silently equals its
# source would be a wrong picture).
substitute() {
    local source=$1 target=$2
    shift 2
    local args=()
    for pair in "$@"; do
        if ! grep -qF -- "${pair%%=>*}" "$source"; then
            echo "render-art.sh: '${pair%%=>*}' is not in $source" >&2
            exit 1
        fi
        args+=(-e "s|$(sed_literal "${pair%%=>*}")|$(sed_literal "${pair#*=>}")|g")
    done
    if [ ${#args[@]} -eq 0 ]; then
        cp "$source" "$target"
    else
        sed "${args[@]}" "$source" >"$target"
    fi
}

# render SOURCE OUTPUT WIDTH HEIGHT [FROM=>TO ...]: OUTPUT.png and OUTPUT@2x.png.
render() {
    local source=$1 output=$2 width=$3 height=$4
    shift 4
    local svg="$tmp/render.svg"
    substitute "$source" "$svg" "$@"
    mkdir -p "$(dirname "$output")"
    rsvg-convert -w "$width" -h "$height" "$svg" -o "$output.png"
    rsvg-convert -w $((width * 2)) -h $((height * 2)) "$svg" -o "$output@2x.png"
}

# render_canvas SOURCE OUTPUT WIDTH HEIGHT CANVAS_WIDTH CANVAS_HEIGHT LEFT TOP [FROM=>TO ...]:
# the picture at WIDTH x HEIGHT placed at LEFT, TOP on a transparent canvas (a small glyph on a
# larger button face, or an icon with room for the gap before its text), 1x and 2x.
render_canvas() {
    local source=$1 output=$2 width=$3 height=$4 cw=$5 ch=$6 left=$7 top=$8
    shift 8
    local svg="$tmp/render.svg" scale suffix
    substitute "$source" "$svg" "$@"
    mkdir -p "$(dirname "$output")"
    for scale in 1 2; do
        suffix=""
        [ "$scale" = 1 ] || suffix="@${scale}x"
        rsvg-convert -w $((width * scale)) -h $((height * scale)) \
            --page-width $((cw * scale)) --page-height $((ch * scale)) \
            --left $((left * scale)) --top $((top * scale)) "$svg" -o "$output$suffix.png"
    done
}

# render_padded SOURCE OUTPUT SIZE BOX [FROM=>TO ...]: a SIZE square in the middle of a BOX square.
render_padded() {
    local source=$1 output=$2 size=$3 box=$4
    shift 4
    render_canvas "$source" "$output" "$size" "$size" "$box" "$box" $(((box - size) / 2)) \
        $(((box - size) / 2)) "$@"
}

# spinner OUTPUT BACKGROUND: the loading animation, 24 frames of 120 ms (the window plays it at
# three times that speed, so one turn takes about a second), looping for ever.
spinner() {
    local output=$1 background=$2 frame
    rm -f "$tmp"/frame-*.png
    for frame in $(seq 0 23); do
        substitute "$art/spinner.svg" "$tmp/frame.svg" \
            "rotate(0 28 28)=>rotate($((frame * 15)) 28 28)" "#e9ecef=>$background"
        rsvg-convert "$tmp/frame.svg" -o "$(printf '%s/frame-%02d.png' "$tmp" "$frame")"
    done
    ffmpeg -loglevel error -y -framerate 25/3 -i "$tmp/frame-%02d.png" \
        -vf "split[a][b];[a]palettegen=max_colors=64:stats_mode=full[p];[b][p]paletteuse=dither=none" \
        -loop 0 "$tmp/spinner.gif"
    gifsicle --no-comments --no-names --no-extensions -O3 --delay 12 --loopcount=forever \
        "$tmp/spinner.gif" -o "$output"
}

# Colours of the pictures.
light_ink='#5f6b76'        # glyphs on the light theme's panels
light_disabled='#c3c9cf'   # the same, unusable
dark_ink='#aeb7bf'         # glyphs on the dark theme's panels
dark_disabled='#54595f'    # the same, unusable
accent='#42a5f5'           # the one accent of both themes
danger='#e5484d'           # close and stop on hover
white='#ffffff'

# Pan/tilt arrows (40 x 40, the whole button): the source points up.
for dir in up:0 right:90 down:180 left:270; do
    name=${dir%%:*}
    rot="rotate(${dir#*:} 20 20)"
    render $art/arrow.svg "$out/light/icon-arrow-$name" 40 40 "rotate(0 20 20)=>$rot"
    render $art/arrow.svg "$out/light/icon-arrow-$name-disable" 40 40 "rotate(0 20 20)=>$rot" \
        "#5f6b76=>$light_disabled"
    render $art/arrow.svg "$out/dark/icon-arrow-$name-dark" 40 40 "rotate(0 20 20)=>$rot" \
        "#5f6b76=>$dark_ink"
    render $art/arrow.svg "$out/dark/icon-arrow-$name-disable" 40 40 "rotate(0 20 20)=>$rot" \
        "#5f6b76=>$dark_disabled"
done

# Title bar (36 x 36, the whole button): one neutral grey that reads on both themes; on hover a
# tinted plate, red for close.
for glyph in max normal min close; do
    render $art/title-$glyph.svg "$out/light/icon-$glyph" 36 36
done
for glyph in max normal min; do
    render $art/title-$glyph.svg "$out/light/icon-$glyph-hover" 36 36 \
        'fill-opacity="0"=>fill-opacity="0.18"' "#8a949d=>$accent"
done
render $art/title-close.svg "$out/light/icon-close-hover" 36 36 \
    'fill-opacity="0"=>fill-opacity="1"' "#42a5f5=>$danger" "#8a949d=>$white"
render $art/theme-moon.svg "$out/light/icon-theme-dark" 36 36
render $art/theme-moon.svg "$out/light/icon-theme-dark-hover" 36 36 \
    'fill-opacity="0"=>fill-opacity="0.18"' "#8a949d=>$accent"
render $art/theme-sun.svg "$out/dark/icon-theme-light" 36 36
render $art/theme-sun.svg "$out/dark/icon-theme-light-hover" 36 36 \
    'fill-opacity="0"=>fill-opacity="0.18"' "#8a949d=>$accent"
render $art/lang-en.svg "$out/light/icon-en" 24 24
render $art/lang-ch.svg "$out/light/icon-ch" 24 24

# Camera list and camera header.
render $art/list-camera.svg "$out/light/ld-icon-normal" 60 36
render $art/list-camera.svg "$out/light/ld-icon-blue" 60 36 "#5f6b76=>$accent"
render $art/list-camera.svg "$out/dark/ld-icon-dark" 60 36 "#5f6b76=>$dark_ink"
render $art/device-bar.svg "$out/light/qb-17-pic" 132 44

# Preview area: start and stop buttons, loading animation on each theme's preview background.
render $art/preview-start.svg "$out/light/camera_disable" 96 96
render $art/preview-start.svg "$out/light/camera_disable-hover" 96 96 \
    "#ffffff=>$accent" "#5f6b76=>$white"
render $art/preview-stop.svg "$out/light/icon-stop" 72 72
render $art/preview-stop.svg "$out/light/icon-stop-hover" 72 72 \
    "#1e1e1f=>$danger" 'fill-opacity="0.6"=>fill-opacity="0.92"'
mkdir -p "$out/light" "$out/dark"
spinner "$out/light/loading.gif" '#e9ecef'
spinner "$out/dark/loading.gif" '#141416'

# Switches of the checkable buttons (46 x 24): off, on, and both unusable, per theme.
switch() {
    local theme=$1 off_track=$2 off_knob=$3 on_track=$4 off_track_dis=$5 knob_dis=$6 on_track_dis=$7
    render $art/switch.svg "$out/$theme/switch-off" 46 24 "#c9ced4=>$off_track" "#ffffff=>$off_knob"
    render $art/switch.svg "$out/$theme/switch-on" 46 24 "#c9ced4=>$on_track" 'cx="12"=>cx="34"'
    render $art/switch.svg "$out/$theme/switch-off-disable" 46 24 "#c9ced4=>$off_track_dis" \
        "#ffffff=>$knob_dis"
    render $art/switch.svg "$out/$theme/switch-on-disable" 46 24 "#c9ced4=>$on_track_dis" \
        'cx="12"=>cx="34"' "#ffffff=>$knob_dis"
}
switch light '#c9ced4' '#ffffff' "$accent" '#e4e7ea' '#f7f8f9' '#b3dafb'
switch dark '#4a4e54' '#e3e7ea' "$accent" '#333538' '#6a6e73' '#2a5a82'

# Small glyphs per theme: drop-down arrow, section expanders, spin-box arrows, information mark,
# page buttons.
for theme in light dark; do
    if [ "$theme" = light ]; then ink=$light_ink dis=$light_disabled; else ink=$dark_ink dis=$dark_disabled; fi
    render $art/chevron.svg "$out/$theme/icon-combo-arrow" 12 12 "#5f6b76=>$ink"
    render $art/chevron.svg "$out/$theme/icon-combo-arrow-disable" 12 12 "#5f6b76=>$dis"
    # Section expanders: a 16-pixel chevron on a 24-pixel button face.
    render_padded $art/chevron.svg "$out/$theme/icon-section-collapsed" 16 24 "#5f6b76=>$ink"
    render_padded $art/chevron.svg "$out/$theme/icon-section-expanded" 16 24 "#5f6b76=>$ink" \
        "rotate(0 8 8)=>rotate(180 8 8)"
    render_padded $art/chevron.svg "$out/$theme/icon-section-hover-collapsed" 16 24 \
        "#5f6b76=>$accent"
    render_padded $art/chevron.svg "$out/$theme/icon-section-hover-expanded" 16 24 \
        "#5f6b76=>$accent" "rotate(0 8 8)=>rotate(180 8 8)"
    render $art/chevron.svg "$out/$theme/icon-spin-down" 10 10 "#5f6b76=>$ink"
    render $art/chevron.svg "$out/$theme/icon-spin-up" 10 10 "#5f6b76=>$ink" \
        "rotate(0 8 8)=>rotate(180 8 8)"
    render_padded $art/info.svg "$out/$theme/icon-info" 16 24 "#5f6b76=>$ink"
    render_padded $art/info.svg "$out/$theme/icon-info-hover" 16 24 "#5f6b76=>$accent"
    # Page buttons: the glyph at the left of a wider canvas, which leaves the gap before the text.
    render_canvas $art/nav-control.svg "$out/$theme/icon-nav-control" 20 20 26 20 0 0 "#5f6b76=>$ink"
    render_canvas $art/nav-support.svg "$out/$theme/icon-nav-support" 20 20 26 20 0 0 "#5f6b76=>$ink"
    render_canvas $art/page-video.svg "$out/$theme/icon-page-video" 18 18 23 18 0 0 "#5f6b76=>$ink"
    render_canvas $art/page-color.svg "$out/$theme/icon-page-color" 18 18 23 18 0 0 "#5f6b76=>$ink"
done
render $art/check.svg "$out/light/icon-check" 12 12

# Program icon.
rsvg-convert -w 256 -h 256 resources/icons/deckctl.svg -o resources/icons/deckctl-256.png

# The resource file of the theme: both style sheets and every picture, in a stable order.
{
    echo '<!DOCTYPE RCC><RCC version="1.0">'
    echo '<!-- Written by scripts/render-art.sh: the style sheets and their pictures. -->'
    echo '<qresource prefix="/">'
    (cd resources && find qss icons -type f \( -name '*.css' -o -name '*.png' -o -name '*.gif' \
        -o -name '*.svg' \) | LC_ALL=C sort | sed -e 's|.*|    <file>&</file>|')
    echo '</qresource>'
    echo '</RCC>'
} >resources/theme.qrc

echo "render-art.sh: pictures written under $out and resources/icons; resources/theme.qrc updated"
