#!/usr/bin/env bash
# Builds the Debian package with CPack, checks its contents, then (as root,
# when no package named omr is installed already) installs it with dpkg,
# checks the installed library, and removes it again, whatever happened.
#
#   deb_test.sh BUILD_DIR SOURCE_DIR
# Environment: OMR_TEST_EXECUTABLES (executables the package must hold),
# OMR_TEST_CFLAGS, OMR_TEST_PRELOAD (as for install_test.sh).
# Exit 77: the install part was skipped (contents were checked).
set -euo pipefail

build=$1 source=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/omr-deb-test.XXXXXX")
installed_by_us=0
cleanup() {
  if [[ $installed_by_us == 1 ]]; then
    dpkg --purge omr >/dev/null 2>&1 || echo "WARNING: could not remove the omr package" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb not found"; exit 77; }

cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/omr_*.deb 2>/dev/null | head -n1)
[[ -f $deb ]] || fail "no package built"

# Contents: "path" or "path -> target", without the leading "./".
dpkg-deb -c "$deb" | awk '{ p = $6; for (i = 7; i <= NF; ++i) p = p " " $i; sub(/^\.\//, "", p); print p }' \
  >"$work/contents"
has() { grep -qxF "$1" "$work/contents" || fail "package lacks $1"; }
has usr/lib/libomr.so.1.0.0
has "usr/lib/libomr.so.1 -> libomr.so.1.0.0"
has "usr/lib/libomr.so -> libomr.so.1"
has usr/include/omr.h
has usr/lib/cmake/omr/omr-config.cmake
has usr/lib/cmake/omr/omr-config-version.cmake
has usr/lib/cmake/omr/omrTargets.cmake
has usr/lib/pkgconfig/omr.pc
for exe in ${OMR_TEST_EXECUTABLES:-}; do has "usr/bin/$exe"; done
for f in "$source"/examples/*.form; do
  if [[ -e $f ]]; then has "usr/share/omr/examples/$(basename "$f")"; fi
done
if grep -v '^usr/' "$work/contents" | grep -v '^$' | grep .; then
  fail "files outside /usr: $(grep -v '^usr/' "$work/contents" | tr '\n' ' ')"
fi
if grep -Eq 'omr_core|omr_sim|gtest|gmock|omr_unit_tests' "$work/contents"; then
  fail "internal files in the package"
fi
[[ $(dpkg-deb -f "$deb" Package) == omr ]] || fail "package name"
[[ $(dpkg-deb -f "$deb" Version) == 1.* ]] || fail "package version"
dpkg-deb -f "$deb" Depends | grep libc6 >/dev/null || fail "no dependency on libc6"
dpkg-deb -I "$deb" shlibs | grep -qx "libomr 1 omr (>= 1.0.0)" || fail "shlibs: $(dpkg-deb -I "$deb" shlibs)"
echo "package contents checked: $(basename "$deb")"

# Installing needs root and a machine where the package is ours to remove.
[[ $(id -u) == 0 ]] || { echo "SKIP: not root, package not installed"; exit 77; }
exec 9>"${TMPDIR:-/tmp}/omr-system-install.lock"
flock -w 900 9 || fail "waited too long for another install test"
if dpkg-query -W -f='${Status}' omr 2>/dev/null | grep "install ok" >/dev/null; then
  echo "SKIP: a package named omr is already installed; left alone"
  exit 77
fi
while read -r path; do
  path=${path%% -> *}
  if [[ (-e /$path || -L /$path) && ! -d /$path ]]; then echo "SKIP: /$path exists and is not from this package"; exit 77; fi
done <"$work/contents"

dpkg_run() {
  # Another package tool may hold the dpkg lock for a while.
  local i
  for i in $(seq 30); do
    if DEBIAN_FRONTEND=noninteractive dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
    grep -qi lock "$work/dpkg.log" || { cat "$work/dpkg.log"; return 1; }
    sleep 2
  done
  cat "$work/dpkg.log"
  return 1
}

installed_by_us=1
dpkg_run -i "$deb" || fail "dpkg -i"
dpkg-query -W -f='${Status}' omr | grep "install ok installed" >/dev/null || fail "not installed after dpkg -i"
[[ -f /usr/lib/libomr.so.1.0.0 && -f /usr/include/omr.h ]] || fail "files missing after dpkg -i"
ldconfig -p | grep "libomr.so.1 " >/dev/null || fail "ldconfig does not know libomr.so.1"
# A program built against the system-wide install.
cc ${OMR_TEST_CFLAGS:-} "$source/tests/install/consumer/consumer.c" $(pkg-config --cflags --libs omr) \
  -o "$work/consumer" || fail "build against the installed package"
set +e
env OMR_SERIAL_PORTS="$work/no-reader" ${OMR_TEST_PRELOAD:+LD_PRELOAD="$OMR_TEST_PRELOAD"} "$work/consumer" x
rc=$?
set -e
[[ $rc == 3 ]] || fail "program against the package answered $rc without a reader, not 3"
for exe in ${OMR_TEST_EXECUTABLES:-}; do
  [[ -x /usr/bin/$exe ]] || fail "/usr/bin/$exe missing"
done

dpkg_run -r omr || fail "dpkg -r"
dpkg_run --purge omr || fail "dpkg --purge"
installed_by_us=0
if dpkg-query -W -f='${Status}' omr 2>/dev/null | grep "installed" >/dev/null; then fail "still installed"; fi
while read -r path; do
  path=${path%% -> *}
  if [[ (-e /$path || -L /$path) && ! -d /$path ]]; then fail "/$path left behind"; fi
done <"$work/contents"
if ldconfig -p | grep "libomr.so.1 " >/dev/null; then fail "ldconfig still lists libomr.so.1"; fi
echo "installed and removed cleanly"
