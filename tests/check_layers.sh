#!/usr/bin/env bash
# The floors of the source tree: a folder includes and links only folders below it.
#
#   programs/ > ui/ > cli/ > workers/ > mac/ > upgrade/ > device/ > app/
#
# sim/ (the virtual camera) implements device/'s faces and speaks upgrade/'s protocol, so it may
# reach app/, device/ and upgrade/; only programs/ and the test, measurement and fuzzing folders
# may reach sim/. Checks every `#include "folder/..."` line of the product folders and every
# target_link_libraries() call of their CMake files; prints each offending line and fails.
set -euo pipefail
source_dir=${1:?usage: check_layers.sh <source dir>}
cd "$source_dir"

floors=(app device upgrade mac workers cli ui programs)
declare -A rank
for i in "${!floors[@]}"; do
    rank[${floors[$i]}]=$i
done
# Folders above every floor: they may reach everything, sim/ included.
outer=(tests bench fuzz)
product=("${floors[@]}" sim)

# Whether code in folder `from` may reach folder `to`.
allowed() {
    local from=$1 to=$2
    [ "$from" = "$to" ] && return 0
    if [ "$to" = sim ]; then
        [ "$from" = programs ]
        return
    fi
    if [ "$from" = sim ]; then
        [ -n "${rank[$to]+x}" ] && [ "${rank[$to]}" -le "${rank[upgrade]}" ]
        return
    fi
    [ -n "${rank[$from]+x}" ] && [ -n "${rank[$to]+x}" ] && [ "${rank[$to]}" -lt "${rank[$from]}" ]
}

is_known() {
    local f
    for f in "${product[@]}" "${outer[@]}"; do
        [ "$f" = "$1" ] && return 0
    done
    return 1
}

failures=0
report() {
    echo "$1"
    failures=$((failures + 1))
}

# Includes: `#include "<folder>/..."` names the folder; a name without a folder is the file's own.
for from in "${product[@]}"; do
    [ -d "$from" ] || continue
    while IFS= read -r hit; do
        rest=${hit#*:}
        text=${rest#*:}
        [[ $text =~ \"([^\"/]+)/ ]] || continue
        to=${BASH_REMATCH[1]}
        is_known "$to" || continue
        allowed "$from" "$to" || report "$hit"
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/' "$from" \
                 --include='*.h' --include='*.cpp' --include='*.hpp' --include='*.c' || true)
done

# Libraries: which folder defines each target.
declare -A owner
while IFS= read -r hit; do
    file=${hit%%:*}
    [[ $hit =~ add_library\([[:space:]]*([A-Za-z0-9_.+-]+) ]] || continue
    target=${BASH_REMATCH[1]}
    owner[$target]=${file%%/*}
done < <(grep -rnE --include=CMakeLists.txt --include='*.cmake' 'add_library\(' "${product[@]}" 2>/dev/null || true)

# Every target_link_libraries() call, joined to one line even when it spans several, with the
# line it starts on.
link_calls() {
    awk '
        /target_link_libraries\(/ { collecting = 1; start = FNR; call = "" }
        collecting { call = call " " $0 }
        collecting && /\)/ { print FILENAME ":" start ":" call; collecting = 0 }
    ' "$@"
}
mapfile -t cmake_files < <(find "${product[@]}" \( -name CMakeLists.txt -o -name '*.cmake' \) 2>/dev/null | sort)
if [ "${#cmake_files[@]}" -gt 0 ]; then
    while IFS= read -r hit; do
        file=${hit%%:*}
        from=${file%%/*}
        call=${hit#*:*:}
        call=${call#*target_link_libraries(}
        call=${call%%)*}
        read -r _ call <<<"$call" # the target that links
        for word in $call; do
            to=${owner[$word]:-}
            [ -n "$to" ] || continue
            allowed "$from" "$to" || report "$file:${hit#*:} (links $word of $to/)"
        done
    done < <(link_calls "${cmake_files[@]}")
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures reach(es) from a lower floor to a higher one (or to sim/ from product code)"
    exit 1
fi
echo "ok: every include and link runs downwards"
