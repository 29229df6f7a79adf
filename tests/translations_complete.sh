#!/usr/bin/env bash
# Every translatable text in the program's sources must have its Chinese translation in
# translations/zh_tr.ts (lupdate finds the texts; the test compares the two lists).
set -euo pipefail
source_dir=$1
lupdate=${2:-lupdate}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dirs=()
for d in app ui upgrade device cli workers programs; do
    [ -d "$source_dir/$d" ] && dirs+=("$source_dir/$d")
done
"$lupdate" -silent -no-obsolete "${dirs[@]}" -ts "$work/found.ts" >/dev/null 2>&1
extract() { grep -o '<source>[^<]*</source>' "$1" | sort -u; }
missing=$(comm -23 <(extract "$work/found.ts") <(extract "$source_dir/translations/zh_tr.ts"))
if [ -n "$missing" ]; then
    echo "Texts without a Chinese translation in translations/zh_tr.ts:"
    echo "$missing"
    exit 1
fi
echo "ok: $(extract "$work/found.ts" | wc -l) texts translated"
