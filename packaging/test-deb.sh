#!/usr/bin/env bash
# Builds the Debian package and checks it without touching the system's own
# packages: dpkg installs it into a scratch root with a database of its own,
# the programs run from there and convert a sample image, the manual pages
# render with man -l, and dpkg removes it again from that root. Needs no root
# (except to install missing build packages, which scripts/deps.sh does).
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

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The scratch database knows no libc6 or libstdc++6 (the Depends above); the
# programs running below show that this system has what they link to. dpkg
# looks for ldconfig in PATH even where it never runs it.
rootdpkg() { PATH="$PATH:/usr/sbin:/sbin" dpkg --root="$root" --force-not-root --force-depends --log=/dev/null "$@"; }

echo "== Install into a scratch root"
# A minimal system may exclude manual pages from every package; this one needs its own.
rootdpkg -i --path-include='/usr/share/man/man1/*' "$deb" >/dev/null 2>"$scratch/dpkg-warnings" ||
    fail "dpkg -i failed: $(cat "$scratch/dpkg-warnings")"
bin=$root/usr/bin
for program in NimbraConvert nbinfo nbmkimage nbundo; do
    [ -x "$bin/$program" ] || fail "$program is not installed in /usr/bin"
done

echo "== NimbraConvert without arguments: the usage text and 87"
set +e
usage=$("$bin/NimbraConvert")
status=$?
set -e
echo "$usage"
[ "$status" -eq 87 ] || fail "NimbraConvert exited with $status, not 87"
grep -q '^NimbraConvert.exe <.nbbitmap location> <.nbdata location>' <<<"$usage" || fail "no usage text"

echo "== nbinfo --help"
help=$("$bin/nbinfo" --help)
echo "$help"
grep -q '^Usage: nbinfo' <<<"$help" || fail "no nbinfo usage text"

echo "== The installed programs make, convert and check a layout 3 image"
"$bin/nbmkimage" --layout 3 "$scratch/img" "$scratch/img" "$scratch/img" >/dev/null
"$bin/NimbraConvert" "$scratch/img" "$scratch/img" "$scratch/img" >"$scratch/out" 2>"$scratch/err" ||
    fail "NimbraConvert exited with $?"
[ "$(tail -n 1 "$scratch/out")" = "main: Finished successfully!" ] || fail "conversion failed: $(cat "$scratch/out")"
[ ! -s "$scratch/err" ] || fail "a clean conversion wrote on standard error: $(cat "$scratch/err")"
"$bin/nbinfo" "$scratch/img" "$scratch/img" "$scratch/img" | tail -n 1
cp "$scratch/img.nbdata.backup" "$scratch/legacy-head"

echo "== The installed nbundo gives the legacy image back"
"$bin/nbundo" "$scratch/img" "$scratch/img" "$scratch/img" >"$scratch/out" 2>"$scratch/err" ||
    fail "nbundo exited with $?: $(cat "$scratch/out")"
tail -n 1 "$scratch/out"
[ ! -e "$scratch/img.nbbitmap.undo" ] || fail "nbundo left its record"
cmp -n 135168 "$scratch/legacy-head" "$scratch/img.nbdata" || fail "the data file's head is not the legacy one"

echo "== man -l on the installed pages"
for page in NimbraConvert nbinfo nbmkimage nbundo; do
    file=$root/usr/share/man/man1/$page.1.gz
    [ -f "$file" ] || fail "$file is not installed"
    text=$(man --warnings -l "$file" 2>"$scratch/man-warnings" | cat)
    [ ! -s "$scratch/man-warnings" ] || fail "$file renders with warnings: $(cat "$scratch/man-warnings")"
    grep -q "^NAME" <<<"$text" || fail "$file does not render"
    # The whole page is read before it is cut, so no writer dies of a closed pipe.
    [ "$page" != NimbraConvert ] || sed -n 1,12p <<<"$text"
done

echo "== Remove from the scratch root"
rootdpkg -r nimbraconvert >/dev/null
for path in usr/bin/NimbraConvert usr/bin/nbinfo usr/bin/nbmkimage usr/bin/nbundo usr/share/man/man1/NimbraConvert.1.gz; do
    [ ! -e "$root/$path" ] || fail "/$path is still there after dpkg -r"
done
echo "test-deb: package built, installed into a scratch root, run and removed"
