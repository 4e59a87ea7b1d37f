#!/usr/bin/env bash
# Builds the Debian packages rexmoor and rexmoor-gui with the distribution's hardening flags, and
# checks them: lintian, the desktop entry, the AppStream description, no RPATH, the hardening
# marks of every program, and, with --install-root, an install with apt-get into a clean Debian 12
# root made by debootstrap, where the sample scan runs from the installed program.
#
#   bash scripts/package.sh [--build DIR] [--install-root]
#
# The packages land in DIR (default build-deb) as rexmoor_<version>_<arch>.deb and
# rexmoor-gui_<version>_<arch>.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)
build=build-deb
install_root=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --install-root) install_root=1; shift ;;
    *) echo "package: unknown option $1" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
# What building and checking the packages needs beyond the build itself.
extra=(dpkg-dev lintian desktop-file-utils appstream binutils)
[ "$install_root" = 1 ] && extra+=(debootstrap)
missing=()
for p in "${extra[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The distribution's flags: -O2, stack protector, _FORTIFY_SOURCE, RELRO and BIND_NOW, PIE.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DREXMOOR_TESTS=OFF \
  "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/rexmoor*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/rexmoor_*.deb "$build"/rexmoor-gui_*.deb)
for deb in "${debs[@]}"; do [ -f "$deb" ] || { echo "package: $deb was not built" >&2; exit 1; }; done
echo "package: built ${debs[*]}"

fail() { echo "package: $*" >&2; exit 1; }

# lintian: no errors. Warnings are printed for people to read.
lintian --fail-on error "${debs[@]}" ||
  fail "lintian found errors"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$unpacked"; done
desktop-file-validate "$unpacked"/usr/share/applications/rexmoor-gui.desktop || fail "the desktop entry is not valid"
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/org.rexmoor.Rexmoor.metainfo.xml ||
  fail "the AppStream description is not valid"
for program in "$unpacked"/usr/bin/* "$unpacked"/usr/libexec/rexmoor/*; do
  name=${program#"$unpacked"}
  dynamic=$(readelf -d "$program")
  ! grep -Eq '\((RPATH|RUNPATH)\)' <<< "$dynamic" || fail "$name has an RPATH"
  grep -q 'BIND_NOW' <<< "$dynamic" || grep -q 'FLAGS.*NOW' <<< "$dynamic" || fail "$name is not linked with -z now"
  readelf -lW "$program" | grep -q GNU_RELRO || fail "$name has no RELRO"
  readelf -hW "$program" | grep -q 'DYN ' || fail "$name is not position independent"
  symbols=$(readelf --dyn-syms -W "$program")
  grep -q '__stack_chk_fail' <<< "$symbols" || fail "$name is not built with the stack protector"
  # A program whose calls the compiler could check at build time has no checked functions: say so.
  grep -v '__stack_chk' <<< "$symbols" | grep -Eq '__[a-z0-9_]+_chk' ||
    echo "package: note: $name calls no function _FORTIFY_SOURCE replaces"
done
echo "package: lintian, desktop entry, AppStream, hardening: fine"

[ "$install_root" = 1 ] || exit 0

# A clean Debian 12 root, made once and kept (it takes a few minutes); the packages go in with
# apt-get, which fetches what dpkg-shlibdeps said they depend on.
chroot_dir=${REXMOOR_CHROOT:-/var/tmp/rexmoor-bookworm}
if [ ! -x "$chroot_dir/usr/bin/apt-get" ]; then
  rm -rf "$chroot_dir"
  debootstrap --variant=minbase bookworm "$chroot_dir" http://deb.debian.org/debian >/dev/null ||
    fail "debootstrap could not make a Debian 12 root"
fi
work=$chroot_dir/tmp/rexmoor-package
rm -rf "$work"
mkdir -p "$work"
cp "${debs[@]}" samples/card.img.gz "$work/"
cleanup_root() {
  umount "$chroot_dir/dev/pts" 2>/dev/null || true
  umount "$chroot_dir/proc" 2>/dev/null || true
  rm -rf "$unpacked" "$work"
}
trap cleanup_root EXIT
mount -t proc proc "$chroot_dir/proc" 2>/dev/null || true
mkdir -p "$chroot_dir/dev/pts"
mount -t devpts devpts "$chroot_dir/dev/pts" 2>/dev/null || true  # dpkg's terminal log
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null || true
chroot "$chroot_dir" /bin/sh -e -c '
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  cd /tmp/rexmoor-package
  apt-get install -y -qq --no-install-recommends ./rexmoor_*.deb ./rexmoor-gui_*.deb >/dev/null
  rexmoor --version
  gunzip -c card.img.gz > card.img
  REXMOOR_DATA_DIR=/tmp/rexmoor-package/data rexmoor scan card.img --quick > scan.txt 2>/dev/null
  grep -q "7 file(s) found." scan.txt
  man -w rexmoor >/dev/null 2>&1 || test -f /usr/share/man/man1/rexmoor.1.gz
  test -x /usr/bin/rexmoor-gui
  apt-get remove -y -qq rexmoor-gui rexmoor >/dev/null
  ! test -e /usr/bin/rexmoor
' || fail "the packages did not install and run in a clean Debian 12 root"
echo "package: installed with apt-get into $chroot_dir, the sample scan ran, removed again"
