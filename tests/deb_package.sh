#!/usr/bin/env bash
# The Debian package: built by CPack from the build folder, its control data and files as
# dpkg-deb shows them, and (as root) installed with dpkg -i and removed with dpkg -r.
# Usage: deb_package.sh <build folder> <work folder>. Exit 77: skipped (the reason is printed).
set -euo pipefail
build=${1:?usage: deb_package.sh <build folder> <work folder>}
work=${2:?usage: deb_package.sh <build folder> <work folder>}
rm -rf "$work" && mkdir -p "$work"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
deb=$(find "$work" -maxdepth 1 -name 'deckctl_*.deb' | head -n 1)
[ -n "$deb" ] || fail "no deckctl_*.deb in $work"
echo "built $deb"

info=$(dpkg-deb --info "$deb")
echo "$info"
grep -q '^ Package: deckctl$' <<<"$info" || fail "package name"
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
# The libraries the programs link, by their packages.
for library in libqt5widgets5 libqt5gui5 libqt5core5a libudev1 libusb-1.0-0 libpulse0 libarchive13 \
    libavformat libavcodec libswscale libc6; do
    grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
for script in postinst postrm; do
    grep -q "^ *[0-9]* bytes, *[0-9]* lines *\* *$script " <<<"$info" || fail "no executable $script"
done

contents=$(dpkg-deb --contents "$deb")
for file in ./usr/bin/deckctl ./usr/bin/deckctl-cli ./usr/lib/udev/rules.d/60-deckctl.rules \
    ./usr/share/applications/com.lumadeck.deckctl.desktop \
    ./usr/share/metainfo/com.lumadeck.deckctl.metainfo.xml \
    ./usr/share/icons/hicolor/scalable/apps/deckctl.svg ./usr/share/icons/hicolor/48x48/apps/deckctl.png \
    ./usr/share/man/man1/deckctl-cli.1 ./usr/share/bash-completion/completions/deckctl-cli \
    ./usr/share/zsh/vendor-completions/_deckctl-cli ./usr/share/deckctl/translations/zh_tr.qm; do
    grep -q " $file\$" <<<"$contents" || fail "the package lacks $file"
done
# Root owns everything, nothing is writable by others.
if grep -v ' root/root ' <<<"$contents" | grep -q .; then fail "files not owned by root"; fi
echo "dpkg-deb --info and --contents: dependencies and files as expected"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing with dpkg -i needs root; the package was built and inspected only"
    exit 77
fi
if dpkg-query -W -f='${Status}' deckctl 2>/dev/null | grep -q 'install ok installed'; then
    echo "SKIP: a deckctl package is installed on this machine already; not replacing it"
    exit 77
fi
dpkg -i "$deb" >"$work/dpkg-install.log" 2>&1 || { cat "$work/dpkg-install.log" >&2; dpkg -r deckctl >/dev/null 2>&1 || true; fail "dpkg -i"; }
status=0
mkdir -p "$work/home"
version=$(HOME=$work/home /usr/bin/deckctl-cli --version) || status=1
[ "$version" = "deckctl-cli $(dpkg-deb --field "$deb" Version)" ] || { echo "installed: $version" >&2; status=1; }
[ -f /usr/lib/udev/rules.d/60-deckctl.rules ] || status=1
dpkg -r deckctl >"$work/dpkg-remove.log" 2>&1 || { cat "$work/dpkg-remove.log" >&2; fail "dpkg -r"; }
[ "$status" -eq 0 ] || fail "the installed package does not work"
for file in /usr/bin/deckctl /usr/bin/deckctl-cli /usr/lib/udev/rules.d/60-deckctl.rules \
    /usr/share/man/man1/deckctl-cli.1; do
    [ ! -e "$file" ] || fail "$file is left after dpkg -r"
done
# The package's record too (it stays "config-files" after -r, for the maintainer scripts).
dpkg --purge deckctl >"$work/dpkg-purge.log" 2>&1 || { cat "$work/dpkg-purge.log" >&2; fail "dpkg --purge"; }
if dpkg-query -W deckctl >/dev/null 2>&1; then fail "dpkg still knows deckctl after --purge"; fi
echo "dpkg -i and dpkg -r: installed, ran and removed cleanly"
