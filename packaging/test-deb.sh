#!/usr/bin/env bash
# Builds the Debian package, installs it, runs what it installed, reads its
# manual page, removes it and checks that the programs went with it.
# Needs root (dpkg -i); installs the Debian packages it needs when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
nb_install_missing cmake ninja-build g++ dpkg-dev file man-db

fail() { echo "test-deb: $*" >&2; exit 1; }

build=build-deb
rm -rf "$build/packages"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNB_BUILD_TESTS=OFF >/dev/null
ninja -C "$build"
(cd "$build" && cpack -G DEB -B "$PWD/packages" >/dev/null)
deb=$(ls "$build"/packages/nimbraconvert_*.deb)
echo "== Package $deb"
dpkg-deb --field "$deb" Package Version Architecture Maintainer Depends
dpkg-deb --contents "$deb"

echo "== Install"
# A minimal system may exclude manual pages from every package; this one needs its own.
dpkg -i --path-include='/usr/share/man/man1/*' "$deb"
trap 'dpkg -r nimbraconvert >/dev/null 2>&1 || true' EXIT
for program in NimbraConvert nbinfo nbmkimage; do
    [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not installed in /usr/bin"
done

echo "== NimbraConvert without arguments: the usage text and 87"
set +e
usage=$(NimbraConvert)
status=$?
set -e
echo "$usage"
[ "$status" -eq 87 ] || fail "NimbraConvert exited with $status, not 87"
grep -q '^NimbraConvert.exe <.nbbitmap location> <.nbdata location>' <<<"$usage" || fail "no usage text"

echo "== nbinfo --help"
help=$(nbinfo --help)
echo "$help"
grep -q '^Usage: nbinfo' <<<"$help" || fail "no nbinfo usage text"
nbmkimage --help >/dev/null || fail "nbmkimage --help failed"

echo "== man -l on the installed pages"
for page in NimbraConvert nbinfo nbmkimage; do
    file=/usr/share/man/man1/$page.1.gz
    [ -f "$file" ] || fail "$file is not installed"
    text=$(man --warnings -l "$file" 2>"$build/man-warnings" | cat)
    [ ! -s "$build/man-warnings" ] || fail "$file renders with warnings: $(cat "$build/man-warnings")"
    grep -q "^NAME" <<<"$text" || fail "$file does not render"
    # The whole page is read before it is cut, so no writer dies of a closed pipe.
    [ "$page" != NimbraConvert ] || sed -n 1,12p <<<"$text"
done

echo "== Remove"
dpkg -r nimbraconvert
trap - EXIT
for program in NimbraConvert nbinfo nbmkimage; do
    [ ! -e "/usr/bin/$program" ] || fail "/usr/bin/$program is still there after dpkg -r"
done
[ ! -e /usr/share/man/man1/NimbraConvert.1.gz ] || fail "the manual page is still there after dpkg -r"
echo "test-deb: package built, installed, run and removed"
