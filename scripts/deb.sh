#!/usr/bin/env bash
# Builds the Debian packages valdrin-proxy and valdrin-desktop from a clean
# copy of the tree (git archive of HEAD), so that the source tree gets no
# obj-*/ or debian/<package>/ folders, then checks them with lintian.
#   scripts/deb.sh [--uncommitted] [--out DIR]
#     --uncommitted  also take the working tree's changed and new files
#     --out DIR      where the .deb, .buildinfo and .changes go (build-deb/)
# Installs the tools and build dependencies it needs (as root). The last line
# it prints is the output folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

out=$root/build-deb
uncommitted=0
while [ $# -gt 0 ]; do
  case $1 in
    --uncommitted) uncommitted=1 ;;
    --out) [ $# -ge 2 ] || { echo "deb.sh: --out needs a folder" >&2; exit 2; }; out=$2; shift ;;
    --out=*) out=${1#--out=} ;;
    -h | --help) sed -n '2,10s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "deb.sh: unknown argument $1 (--uncommitted, --out DIR)" >&2; exit 2 ;;
  esac
  shift
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
apt_updated=0
apt_install() {
  if [ $apt_updated -eq 0 ]; then $SUDO apt-get update -qq; apt_updated=1; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@"
}

tools=(dpkg-dev debhelper fakeroot lintian git)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "deb.sh: installing ${missing[*]}"
  apt_install "${missing[@]}"
fi

work=$(mktemp -d /tmp/valdrin-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
src=$work/valdrin-$version
mkdir "$src"
git archive HEAD | tar -x -C "$src"
if [ $uncommitted -eq 1 ]; then
  # Changed and new files as they are now; files deleted in the working
  # tree go from the copy too.
  git ls-files -z --modified --others --exclude-standard |
    while IFS= read -r -d '' f; do
      if [ -e "$f" ]; then
        mkdir -p "$src/$(dirname "$f")"
        cp -a "$f" "$src/$f"
      fi
    done
  git ls-files -z --deleted | while IFS= read -r -d '' f; do rm -f "$src/$f"; done
fi

if ! (cd "$src" && dpkg-checkbuilddeps >/dev/null 2>&1); then
  echo "deb.sh: installing the build dependencies of debian/control"
  if [ $apt_updated -eq 0 ]; then $SUDO apt-get update -qq; apt_updated=1; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get build-dep -y -qq --no-install-recommends "$src"
fi

echo "deb.sh: building in $src"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=${JOBS:-2} nocheck noddebs" dpkg-buildpackage -us -uc -b)

rm -f "$out"/valdrin*_*.deb "$out"/valdrin_*.buildinfo "$out"/valdrin_*.changes
cp "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes "$out"/

changes=$(ls "$out"/valdrin_*.changes)
echo "deb.sh: lintian $changes"
# Errors and warnings fail; each accepted one is overridden in
# debian/*.lintian-overrides with its reason.
lintian --fail-on error,warning --display-info "$changes"
echo "deb.sh: lintian found no error or warning"
echo "$out"
